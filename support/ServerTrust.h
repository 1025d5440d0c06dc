// Which pipe servers the library talks to and what it lends them: the rules
// only, with no Windows call, so they can be checked anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumlib {

// What the service learns of the caller when it impersonates it.
enum class PipeClientLevel {
    Identification,  // who is calling, nothing more: the default
    Impersonation,   // the caller's full rights: only when an administrator asks for it
};

// The administrator's "PipeImpersonationLevel" value, read as a DWORD
// (present false when it is missing or of another type). 2, the platform's
// number for impersonation, restores that level; every other value keeps
// identification, so a typo never widens what the service may do.
PipeClientLevel LevelFromSetting(bool present, uint32_t value);

// The server end of the pipe, as far as it could be found out.
struct ServerIdentity {
    uint32_t processId = 0;
    std::wstring sid;       // "S-1-5-18", ...
    bool ownerOfPipe = false;  // sid is the pipe's owner, not the server process's user
    uint32_t sessionId = 0;    // with ownerOfPipe: the session the server process runs in
};

// Whether the identity speaks for the process serving this instance of the
// pipe. A process user always does. The owner is the pipe's, shared by every
// instance of it, so a user allowed to add an instance gets the service's
// owner for it: the owner speaks only for a server in session 0, where
// services run and no logged-on user's program does.
bool SpeaksForServer(const ServerIdentity& server);

// True when a server running as `sid` may serve this caller: LocalSystem,
// LocalService, NetworkService, a service SID (S-1-5-80-...), the caller's
// own user, or a SID listed by an administrator, and the identity speaks for
// the server. When only the owner of the pipe could be read, Administrators
// is accepted as well: only an administrator or LocalSystem can create a pipe
// owned by that group. SIDs compare case-insensitively; malformed ones are
// never accepted.
bool IsAcceptedServer(const ServerIdentity& server, const std::wstring& callerSid,
                      const std::vector<std::wstring>& trustedSids);

// The strings of a REG_MULTI_SZ value of `chars` characters, which the
// registry does not promise to terminate. Blank entries are dropped and
// surrounding blanks trimmed.
std::vector<std::wstring> SplitMultiString(const wchar_t* data, size_t chars);

}  // namespace lumlib
