#include "support/SecurityAttributes.h"

#include "support/SecurityApi.h"

namespace lumlib {

namespace {

// At namespace scope, set up when the module loads: a function-local static
// would take the runtime's guard on first use, which can allocate, on a
// path that must not fail. Each entry calls the import when it runs, not
// through an address read at load, so that whatever stands in the import
// table then (a fault-injecting test's replacement) is what is called.
#define ZK_IMPORT_AT_CALL(f) [](auto... args) { return ::f(args...); }
const SecurityApi g_windowsSecurityApi = {
    ZK_IMPORT_AT_CALL(AllocateAndInitializeSid),
    ZK_IMPORT_AT_CALL(FreeSid),
    ZK_IMPORT_AT_CALL(SetEntriesInAclW),
    ZK_IMPORT_AT_CALL(LocalAlloc),
    ZK_IMPORT_AT_CALL(LocalFree),
    ZK_IMPORT_AT_CALL(InitializeSecurityDescriptor),
    ZK_IMPORT_AT_CALL(SetSecurityDescriptorDacl),
    ZK_IMPORT_AT_CALL(ConvertStringSecurityDescriptorToSecurityDescriptorW),
    ZK_IMPORT_AT_CALL(GetSecurityDescriptorSacl),
    ZK_IMPORT_AT_CALL(SetSecurityDescriptorSacl),
};
#undef ZK_IMPORT_AT_CALL
SecurityApi g_activeSecurityApi = g_windowsSecurityApi;

}  // namespace

SecurityApi& ActiveSecurityApi() { return g_activeSecurityApi; }

}  // namespace lumlib

namespace {

// Every standard and specific right: what GENERIC_ALL maps to for the pipe.
constexpr DWORD kAllAccess = 0x1FFFFF;
static_assert(SECURITY_DESCRIPTOR_MIN_LENGTH == 40, "absolute descriptor block of 40 bytes");
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24, "x64 record");

// Low integrity, no write-up; the empty DACL part is ignored, only the SACL is used.
const wchar_t kLowIntegrityLabelSddl[] = L"D:S:(ML;;NW;;;LW)";

}  // namespace

bool BuildEveryoneAccess(LumSecurityAttributes* record) {
    if (!record) return false;
    const lumlib::SecurityApi& api = lumlib::ActiveSecurityApi();

    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool ok = false;

    if (api.allocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
        EXPLICIT_ACCESS_W access = {};
        access.grfAccessPermissions = kAllAccess;
        access.grfAccessMode = SET_ACCESS;
        access.grfInheritance = NO_INHERITANCE;
        access.Trustee.pMultipleTrustee = nullptr;
        access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
        access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        access.Trustee.ptstrName = static_cast<LPWSTR>(everyone);

        const DWORD aclError = api.setEntriesInAcl(1, &access, nullptr, &acl);
        if (aclError == ERROR_SUCCESS) {
            descriptor = static_cast<PSECURITY_DESCRIPTOR>(api.localAlloc(LMEM_FIXED, SECURITY_DESCRIPTOR_MIN_LENGTH));
            ok = descriptor != nullptr &&
                 api.initializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                 api.setSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE);
        } else {
            acl = nullptr;  // nothing was allocated
            ::SetLastError(aclError);  // it returns its error instead of setting it
        }
    }

    const DWORD error = ::GetLastError();  // the failed step's, for the caller's log line
    if (everyone) api.freeSid(everyone);
    if (!ok) {
        if (acl) api.localFree(acl);
        if (descriptor) api.localFree(descriptor);
        ::SetLastError(error);
        return false;
    }

    record->nLength = sizeof(SECURITY_ATTRIBUTES);
    record->lpSecurityDescriptor = descriptor;
    record->acl = acl;
    record->bInheritHandle = FALSE;
    record->labelDescriptor = nullptr;  // a fresh descriptor carries no label yet
    return true;
}

bool AddLowIntegrityLabel(LumSecurityAttributes* record) {
    if (!record || !record->lpSecurityDescriptor) return false;
    const lumlib::SecurityApi& api = lumlib::ActiveSecurityApi();

    PSECURITY_DESCRIPTOR label = nullptr;
    if (!api.convertStringSecurityDescriptor(kLowIntegrityLabelSddl, SDDL_REVISION_1, &label, nullptr))
        return false;

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL sacl = nullptr;
    if (!api.getSecurityDescriptorSacl(label, &present, &sacl, &defaulted)) {
        api.localFree(label);
        return false;
    }

    if (!api.setSecurityDescriptorSacl(record->lpSecurityDescriptor, TRUE, sacl, FALSE)) {
        api.localFree(label);  // the record's descriptor does not point into it
        return false;
    }

    // The record's descriptor now points into the label descriptor: the record
    // keeps it until FreeSecurityAttributes. A label put on earlier is no longer
    // referenced.
    if (record->labelDescriptor) api.localFree(record->labelDescriptor);
    record->labelDescriptor = label;
    return true;
}

void FreeSecurityAttributes(LumSecurityAttributes* record) {
    if (!record) return;
    const lumlib::SecurityApi& api = lumlib::ActiveSecurityApi();

    if (record->acl) api.localFree(record->acl);
    if (record->lpSecurityDescriptor) api.localFree(record->lpSecurityDescriptor);
    // The label goes last: the descriptor's SACL pointed into it.
    if (record->labelDescriptor) api.localFree(record->labelDescriptor);
}

bool CPipeSecurity::Build() {
    if (m_record.lpSecurityDescriptor != nullptr) return true;
    if (!BuildEveryoneAccess(&m_record)) return false;
    // Without the label the record still works: the DACL is what matters.
    AddLowIntegrityLabel(&m_record);
    return true;
}
