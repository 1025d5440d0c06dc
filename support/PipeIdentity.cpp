#include "support/PipeIdentity.h"

#include <aclapi.h>
#include <sddl.h>

#include "support/Holders.h"

namespace lumlib {

const wchar_t kLibraryKeyPath[] = L"Software\\Zelkor\\Tessaline Server\\";
const wchar_t kImpersonationLevelValue[] = L"PipeImpersonationLevel";
const wchar_t kTrustedServerSidsValue[] = L"TrustedServerSids";

namespace {

// A list of SIDs is a few hundred bytes; anything far larger is not one.
const DWORD kMaxTrustedSidsBytes = 64 * 1024;

PipeSecuritySettings ReadLibrarySettings() { return ReadPipeSecuritySettings(HKEY_LOCAL_MACHINE, kLibraryKeyPath); }

std::wstring SidText(PSID sid) {
    unique_local_ptr<wchar_t*> text;
    if (!::ConvertSidToStringSidW(sid, text.put())) return std::wstring();
    return text.get();
}

// The user of a token as a SID string; ERROR_SUCCESS or the failing call's error.
DWORD TokenUserSid(HANDLE token, std::wstring* sid) {
    DWORD needed = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
    if (needed == 0) return LastErrorOr(ERROR_INVALID_DATA);
    std::vector<uint64_t> buffer((needed + sizeof(uint64_t) - 1) / sizeof(uint64_t));  // aligned for TOKEN_USER
    if (!::GetTokenInformation(token, TokenUser, buffer.data(), needed, &needed)) return LastErrorOr(ERROR_INVALID_DATA);
    *sid = SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    return sid->empty() ? LastErrorOr(ERROR_INVALID_SID) : ERROR_SUCCESS;
}

DWORD ProcessUserSid(DWORD processId, std::wstring* sid) {
    unique_handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return LastErrorOr(ERROR_ACCESS_DENIED);
    unique_handle token;
    if (!::OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) return LastErrorOr(ERROR_ACCESS_DENIED);
    return TokenUserSid(token.get(), sid);
}

DWORD PipeOwnerSid(HANDLE pipe, std::wstring* sid) {
    PSID owner = nullptr;
    unique_local_ptr<PSECURITY_DESCRIPTOR> descriptor;
    const DWORD rc = ::GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                       nullptr, descriptor.put());
    if (rc != ERROR_SUCCESS) return rc;
    if (owner == nullptr) return ERROR_INVALID_OWNER;
    *sid = SidText(owner);
    return sid->empty() ? LastErrorOr(ERROR_INVALID_SID) : ERROR_SUCCESS;
}

}  // namespace

PipeSecuritySettings ReadPipeSecuritySettings(HKEY root, const wchar_t* path) {
    PipeSecuritySettings settings;
    unique_hkey key;
    if (::RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) return settings;

    DWORD type = REG_NONE, level = 0, size = sizeof(level);
    const bool levelRead = ::RegQueryValueExW(key.get(), kImpersonationLevelValue, nullptr, &type,
                                              reinterpret_cast<BYTE*>(&level), &size) == ERROR_SUCCESS;
    settings.level = LevelFromSetting(levelRead && type == REG_DWORD && size == sizeof(level), level);

    size = 0;
    if (::RegQueryValueExW(key.get(), kTrustedServerSidsValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ || size > kMaxTrustedSidsBytes) {
        return settings;
    }
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    // A value that grew since its size was read fails here (ERROR_MORE_DATA): no list, as when absent.
    if (::RegQueryValueExW(key.get(), kTrustedServerSidsValue, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                           &size) == ERROR_SUCCESS && type == REG_MULTI_SZ) {
        settings.trustedSids = SplitMultiString(text.data(), size / sizeof(wchar_t));
    }
    return settings;
}

DWORD PipeOpenFlags(PipeClientLevel level) {
    if (level == PipeClientLevel::Impersonation) return FILE_FLAG_OVERLAPPED;
    return FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
}

DWORD QueryPipeServer(HANDLE pipe, ServerIdentity* server) {
    *server = ServerIdentity();
    ULONG processId = 0;
    if (!::GetNamedPipeServerProcessId(pipe, &processId)) return LastErrorOr(ERROR_INVALID_HANDLE);
    server->processId = processId;
    DWORD rc = ProcessUserSid(processId, &server->sid);
    if (rc == ERROR_ACCESS_DENIED) {
        // The owner, with the server's session, which the owner alone does not tell.
        server->ownerOfPipe = true;
        ULONG session = 0;
        if (!::GetNamedPipeServerSessionId(pipe, &session)) return LastErrorOr(ERROR_INVALID_HANDLE);
        server->sessionId = session;
        rc = PipeOwnerSid(pipe, &server->sid);
    }
    return rc;
}

std::wstring CurrentUserSid() {
    unique_handle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return std::wstring();
    std::wstring sid;
    return TokenUserSid(token.get(), &sid) == ERROR_SUCCESS ? sid : std::wstring();
}

namespace {

// Set up when the module loads, not on first use; the open calls the import
// when it runs (see SecurityAttributes.cpp).
const PipeIdentityApi g_windowsPipeIdentityApi = {[](auto... args) { return ::CreateFileW(args...); }, &QueryPipeServer,
                                                  &ReadLibrarySettings};
PipeIdentityApi g_activePipeIdentityApi = g_windowsPipeIdentityApi;

}  // namespace

PipeIdentityApi& ActivePipeIdentityApi() { return g_activePipeIdentityApi; }

}  // namespace lumlib
