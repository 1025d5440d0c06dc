// Security attributes of the service pipe handle: what the descriptor holds,
// that every block is freed, and that a pipe handle opened with it stays out
// of child processes.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "support/SecurityApi.h"
#include "support/SecurityAttributes.h"
#include "support/lumlib.h"

namespace {

using Bytes = std::vector<unsigned char>;
std::set<void*> g_live;  // blocks allocated through the table and not yet freed (each freed once)
bool g_failAlloc = false;
lumlib::SecurityApi g_real;  // the table before the counting calls went in
const lumlib::SecurityApi& Real() { return g_real; }
void* Track(void* p) { if (p) g_live.insert(p); return p; }

DWORD WINAPI CountSetEntries(ULONG n, PEXPLICIT_ACCESS_W entries, PACL old, PACL* acl) {
    const DWORD r = Real().setEntriesInAcl(n, entries, old, acl);
    if (r == ERROR_SUCCESS) Track(*acl);
    return r;
}
HLOCAL WINAPI CountAlloc(UINT flags, SIZE_T n) { return g_failAlloc ? nullptr : Track(Real().localAlloc(flags, n)); }
HLOCAL WINAPI CountFree(HLOCAL p) { EXPECT_EQ(g_live.erase(p), 1u); return Real().localFree(p); }
BOOL WINAPI CountConvert(LPCWSTR sddl, DWORD revision, PSECURITY_DESCRIPTOR* sd, PULONG size) {
    return Real().convertStringSecurityDescriptor(sddl, revision, sd, size) && Track(*sd);
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
    ~CountingApi() { lumlib::ActiveSecurityApi() = Real(); }
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

const wchar_t kChildVariable[] = L"ZK_SECURITY_CHILD_HANDLES";
constexpr DWORD kInstances = 7;  // distinctive, so the child cannot mistake another pipe for ours

bool IsOurPipeClient(HANDLE h) {
    DWORD flags = 0, n = 0;
    return ::GetNamedPipeInfo(h, &flags, nullptr, nullptr, &n) && !(flags & PIPE_SERVER_END) && n == kInstances;
}

// Runs only as the child of PipeSecurity.*: exit code 0x100, plus 1 when the
// pipe handle's value is usable here, plus 2 when the control's value is.
TEST(SecurityChild, DISABLED_ReportInheritedHandles) {
    wchar_t value[64] = {};
    HANDLE pipe = nullptr, control = nullptr;
    ASSERT_GT(::GetEnvironmentVariableW(kChildVariable, value, 64), 0u) << "started by PipeSecurity only";
    ASSERT_EQ(swscanf(value, L"%p %p", &pipe, &control), 2);
    ::ExitProcess(0x100 | (IsOurPipeClient(pipe) ? 1 : 0) | (IsOurPipeClient(control) ? 2 : 0));
}

// A failed descriptor block: the DACL made before it goes, the record stays empty.
TEST(PipeSecurity, AFailedAllocationFreesWhatWasMade) {
    CountingApi counting;
    LumSecurityAttributes record = {};
    g_failAlloc = true;
    EXPECT_FALSE(BuildEveryoneAccess(&record)) << "built without a descriptor block";
    g_failAlloc = false;
    EXPECT_EQ(record.lpSecurityDescriptor, nullptr) << "a descriptor in the record";
    EXPECT_TRUE(g_live.empty()) << "blocks left: " << g_live.size();
}

// Everyone's access and the low-integrity label, each exactly; every block is
// freed once; a pipe handle opened with the record stays out of child processes.
TEST(PipeSecurity, DescriptorContentsFreeingAndNoInheritance) {
    CountingApi counting;
    LumSecurityAttributes record = {};
    ASSERT_TRUE(BuildEveryoneAccess(&record));
    ASSERT_TRUE(AddLowIntegrityLabel(&record));
    ASSERT_TRUE(AddLowIntegrityLabel(&record));  // labelling again frees the earlier label
    BOOL present = FALSE, dflt = FALSE;
    PACL dacl = nullptr, sacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(record.lpSecurityDescriptor, &present, &dacl, &dflt));
    ASSERT_TRUE(present) << "no DACL";
    ASSERT_NE(dacl, nullptr) << "a null DACL: all access for everyone";
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
    CHandleHolder server(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, 0, kInstances, 4096, 4096, 0, nullptr));
    CHandleHolder client(::CreateFileW(name.c_str(), GENERIC_READ, 0, &record, OPEN_EXISTING, 0, nullptr));
    FreeSecurityAttributes(&record);
    EXPECT_TRUE(g_live.empty()) << "blocks left: " << g_live.size();
    ASSERT_TRUE(IsOurPipeClient(client.get())) << "the pipe did not open with the record";
    // The control: the same pipe end duplicated as inheritable, which must reach the child.
    HANDLE self = ::GetCurrentProcess(), control = nullptr;
    ASSERT_TRUE(::DuplicateHandle(self, client.get(), self, &control, 0, TRUE, DUPLICATE_SAME_ACCESS));
    CHandleHolder controlOwner(control);

    wchar_t exe[MAX_PATH] = {}, value[64] = {};
    ASSERT_GT(::GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
    std::wstring cmd = L"\"" + std::wstring(exe) + L"\" --gtest_also_run_disabled_tests --gtest_filter=SecurityChild.*";
    swprintf(value, 64, L"%p %p", client.get(), control);
    ::SetEnvironmentVariableW(kChildVariable, value);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;  // no standard handles: keeps the child's test output out of ours
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(::CreateProcessW(exe, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi));
    ::SetEnvironmentVariableW(kChildVariable, nullptr);
    CHandleHolder process(pi.hProcess), thread(pi.hThread);
    if (::WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) ::TerminateProcess(process.get(), 1);
    DWORD code = 0;
    ASSERT_TRUE(::GetExitCodeProcess(process.get(), &code));
    ASSERT_EQ(code & ~3u, 0x100u) << "the child did not run its report (exit code " << code << ")";
    EXPECT_TRUE(code & 2) << "the inheritable control handle did not reach the child";
    EXPECT_FALSE(code & 1) << "the pipe handle opened with the record was inherited";
}

}  // namespace
