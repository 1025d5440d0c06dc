// Who is at the other end of the service pipe, and how much of the caller's
// identity the pipe lends it: the open flags, the server's identity, and the
// administrator's two registry values that widen either.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/ServerTrust.h"

namespace lumlib {

// Values under the library's key, HKLM "Software\Zelkor\Tessaline Server\"
// (64-bit view), which only administrators can write.
extern const wchar_t kLibraryKeyPath[];
extern const wchar_t kImpersonationLevelValue[];  // DWORD: 2 lends impersonation
extern const wchar_t kTrustedServerSidsValue[];   // REG_MULTI_SZ: more server SIDs to accept

struct PipeSecuritySettings {
    PipeClientLevel level = PipeClientLevel::Identification;
    std::vector<std::wstring> trustedSids;
};

// Reads both values from root\path; a missing key, value or wrong type leaves
// the safe default for that value.
PipeSecuritySettings ReadPipeSecuritySettings(HKEY root, const wchar_t* path);

// The CreateFileW flags of the client end: overlapped, plus a quality-of-
// service request for identification. Impersonation is what the platform
// gives a client that asks for nothing, so that level opens without one.
DWORD PipeOpenFlags(PipeClientLevel level);

// The real identity query: GetNamedPipeServerProcessId, then that process's
// token user. When the process or its token may not be read (a service's
// token is closed to ordinary users), the pipe's owner instead: the handle is
// open for reading, so its owner can always be read. ERROR_SUCCESS or the
// error of the failed step.
DWORD QueryPipeServer(HANDLE pipe, ServerIdentity* server);

// The user SID of the calling process as a string; empty when unknown.
std::wstring CurrentUserSid();

// The calls the pipe's open and its server check make, in one table so tests
// can see the flags that reach CreateFileW and stand in for a server of
// another account, which Wine (one user for every process) cannot produce.
struct PipeIdentityApi {
    decltype(&::CreateFileW) createFile;
    DWORD (*queryServer)(HANDLE pipe, ServerIdentity* server);
    PipeSecuritySettings (*readSettings)();  // the library's own key
};

// The table in use; starts as the Windows functions. The library never changes it.
PipeIdentityApi& ActivePipeIdentityApi();

}  // namespace lumlib
