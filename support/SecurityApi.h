// The Windows calls the pipe's security steps make, gathered in one table so
// that tests can put failing or counting versions in their place. The library
// itself never changes the table.
#pragma once

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

namespace lumlib {

struct SecurityApi {
    decltype(&::AllocateAndInitializeSid) allocateAndInitializeSid;
    decltype(&::FreeSid) freeSid;
    decltype(&::SetEntriesInAclW) setEntriesInAcl;
    decltype(&::LocalAlloc) localAlloc;
    decltype(&::LocalFree) localFree;
    decltype(&::InitializeSecurityDescriptor) initializeSecurityDescriptor;
    decltype(&::SetSecurityDescriptorDacl) setSecurityDescriptorDacl;
    decltype(&::ConvertStringSecurityDescriptorToSecurityDescriptorW) convertStringSecurityDescriptor;
    decltype(&::GetSecurityDescriptorSacl) getSecurityDescriptorSacl;
    decltype(&::SetSecurityDescriptorSacl) setSecurityDescriptorSacl;
};

// The table the security steps use; starts as the Windows functions.
SecurityApi& ActiveSecurityApi();

}  // namespace lumlib
