// Security attributes of the service pipe handle: what the descriptor holds,
// that every block is freed, and that a pipe handle opened with it is not
// inheritable.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/SecurityApi.h"
#include "support/SecurityAttributes.h"
#include "support/lumlib.h"
#include "tests/support/Dacl.h"

namespace {

using Bytes = std::vector<unsigned char>;
std::set<void*> g_live;  // blocks allocated through the table and not yet freed (each freed once)
bool g_failAlloc = false;
lumlib::SecurityApi g_real;  // the table before the counting calls went in
void* Track(void* p) {
    if (p) g_live.insert(p);
    return p;
}

DWORD WINAPI CountSetEntries(ULONG n, PEXPLICIT_ACCESS_W entries, PACL old, PACL* acl) {
    const DWORD r = g_real.setEntriesInAcl(n, entries, old, acl);
    if (r == ERROR_SUCCESS) Track(*acl);
    return r;
}
HLOCAL WINAPI CountAlloc(UINT flags, SIZE_T n) { return g_failAlloc ? nullptr : Track(g_real.localAlloc(flags, n)); }
HLOCAL WINAPI CountFree(HLOCAL p) { EXPECT_EQ(g_live.erase(p), 1u); return g_real.localFree(p); }
BOOL WINAPI CountConvert(LPCWSTR sddl, DWORD revision, PSECURITY_DESCRIPTOR* sd, PULONG size) {
    return g_real.convertStringSecurityDescriptor(sddl, revision, sd, size) && Track(*sd);
}

// Puts the counting calls into the table for one scope.
struct CountingApi {
    CountingApi() {
        lumlib::SecurityApi& api = lumlib::ActiveSecurityApi();
        g_real = api;
        api.setEntriesInAcl = CountSetEntries;
        api.localAlloc = CountAlloc;
        api.localFree = CountFree;
        api.convertStringSecurityDescriptor = CountConvert;
    }
    ~CountingApi() { lumlib::ActiveSecurityApi() = g_real; }
};

// The bytes of the ACL's only ACE (empty when it has not exactly one).
Bytes OnlyAce(PACL acl) {
    ACL_SIZE_INFORMATION info = {};
    void* ace = nullptr;
    ::GetAclInformation(acl, &info, sizeof(info), AclSizeInformation);
    if (info.AceCount != 1 || !::GetAce(acl, 0, &ace)) return {};
    const auto* bytes = static_cast<const unsigned char*>(ace);
    return Bytes(bytes, bytes + static_cast<const ACE_HEADER*>(ace)->AceSize);
}

// A failed descriptor block: the DACL made before it goes, the record stays
// empty. Then everyone's access and the low-integrity label, each exactly;
// every block is freed once; a pipe handle opened with the record is not
// inheritable, so it stays out of child processes.
TEST(PipeSecurity, AFailedAllocationFreesWhatWasMadeThenContentsFreeingAndNoInheritance) {
    CountingApi counting;
    LumSecurityAttributes record = {};
    g_failAlloc = true;
    EXPECT_FALSE(BuildEveryoneAccess(&record)) << "built without a descriptor block";
    g_failAlloc = false;
    EXPECT_EQ(record.lpSecurityDescriptor, nullptr) << "a descriptor in the record";
    EXPECT_TRUE(g_live.empty()) << "blocks left after the failed build: " << g_live.size();
    ASSERT_TRUE(BuildEveryoneAccess(&record));
    ASSERT_TRUE(AddLowIntegrityLabel(&record));
    ASSERT_TRUE(AddLowIntegrityLabel(&record));  // labelling again frees the earlier label
    const PACL dacl = zk_testkit::DaclOf(record.lpSecurityDescriptor);
    ASSERT_NE(dacl, nullptr) << "no DACL, or a null one: all access for everyone";
    BOOL present = FALSE, dflt = FALSE;
    PACL sacl = nullptr;
    // access allowed, no inheritance, 20 bytes; mask 0x1FFFFF; S-1-1-0
    EXPECT_EQ(OnlyAce(dacl), (Bytes{0, 0, 0x14, 0, 0xFF, 0xFF, 0x1F, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0})) << "the DACL's ACE";
    ASSERT_TRUE(::GetSecurityDescriptorSacl(record.lpSecurityDescriptor, &present, &sacl, &dflt));
    ASSERT_TRUE(present) << "no SACL";
    ASSERT_NE(sacl, nullptr) << "a null SACL";
    // Bytes, not SDDL: Wine leaves the ML ACE out when converting back to a string.
    // mandatory label (0x11), 20 bytes; no-write-up (1); S-1-16-4096
    EXPECT_EQ(OnlyAce(sacl), (Bytes{0x11, 0, 0x14, 0, 1, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0x10, 0, 0x10, 0, 0})) << "the SACL's ACE";
    EXPECT_EQ(g_live.size(), 3u) << "expected the DACL, the descriptor block and one label descriptor";

    const std::wstring name = L"\\\\.\\pipe\\zk-support-security-" + std::to_wstring(::GetCurrentProcessId());
    CHandleHolder server(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 4096, 4096, 0, nullptr));
    CHandleHolder client(::CreateFileW(name.c_str(), GENERIC_READ, 0, &record, OPEN_EXISTING, 0, nullptr));
    FreeSecurityAttributes(&record);
    EXPECT_TRUE(g_live.empty()) << "blocks left: " << g_live.size();
    ASSERT_TRUE(client.is_valid()) << "the pipe did not open with the record";
    // The control: the same pipe end duplicated as inheritable, which a child would get.
    HANDLE self = ::GetCurrentProcess(), control = nullptr;
    ASSERT_TRUE(::DuplicateHandle(self, client.get(), self, &control, 0, TRUE, DUPLICATE_SAME_ACCESS));
    CHandleHolder controlOwner(control);
    DWORD pipeFlags = 0, controlFlags = 0;
    ASSERT_TRUE(::GetHandleInformation(client.get(), &pipeFlags) && ::GetHandleInformation(control, &controlFlags));
    EXPECT_TRUE(controlFlags & HANDLE_FLAG_INHERIT) << "the inheritable control handle reads as not inherited";
    EXPECT_FALSE(pipeFlags & HANDLE_FLAG_INHERIT) << "the pipe handle opened with the record would be inherited";
}

}  // namespace
