#include "log/LogFolderGuard.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "log/LogFileOps.h"
#include "support/Holders.h"

namespace {

const size_t kLongPathPrefixChars = 8;  // "\\?\UNC\"

// "\\?\C:\x" -> "C:\x", "\\?\UNC\server\share" -> "\\server\share", in place.
const wchar_t* WithoutLongPathPrefix(wchar_t* path) {
    if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
        path[6] = L'\\';
        return path + 6;
    }
    return wcsncmp(path, L"\\\\?\\", 4) == 0 ? path + 4 : path;
}

// The full, long form of a path, as GetFinalPathNameByHandleW gives it (without
// its prefix), in fixed buffers: the writer's checks allocate nothing.
const wchar_t* ExpectedFinalPath(const wchar_t* path, wchar_t (&full)[MAX_PATH], wchar_t (&out)[MAX_PATH]) {
    const DWORD fullChars = ::GetFullPathNameW(path, MAX_PATH, full, nullptr);
    if (fullChars == 0 || fullChars >= MAX_PATH) return path;
    wchar_t* slash = wcsrchr(full, L'\\');
    if (!slash) return full;
    *slash = L'\0';  // the folder alone, for its long form
    const DWORD folderChars = ::GetLongPathNameW(full, out, MAX_PATH);
    *slash = L'\\';
    if (folderChars == 0 || folderChars + wcslen(slash) >= MAX_PATH) return full;
    wcscat_s(out, MAX_PATH, slash);
    return out;
}

// The process's own user, into a TOKEN_USER-sized area.
bool ReadTokenUser(HANDLE token, uint8_t (&user)[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)]) {
    DWORD size = 0;
    return ::GetTokenInformation(token, TokenUser, user, sizeof(user), &size) != FALSE;
}

}  // namespace

const wchar_t CLogFolderGuard::kLogFolderSddl[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200ab;;;WD)(A;;0x1200ab;;;S-1-3-4)(A;OIIO;0x13019f;;;WD)";
const wchar_t CLogFolderGuard::kUpperFolderSddl[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200ab;;;WD)(A;;0x1200af;;;S-1-3-4)(A;OIIO;0x13019f;;;WD)";

namespace {

using Trust = CLogFolderGuard::Trust;

// Whether a folder's rules are one of the sets this library gives the folders
// it makes: protected, they hold the folder's owner, whoever made it, to what
// everyone may do (OWNER RIGHTS), so an owner of another account gains nothing.
// kUnknown when a step failed (memory): asked again soon, like an unreadable owner.
Trust CarriesLogFolderRules(PSECURITY_DESCRIPTOR descriptor, const ACL* dacl) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (dacl == nullptr) return Trust::kUntrusted;
    if (!::GetSecurityDescriptorControl(descriptor, &control, &revision)) return Trust::kUnknown;
    if (!(control & SE_DACL_PROTECTED)) return Trust::kUntrusted;
    for (const wchar_t* sddl : {CLogFolderGuard::kLogFolderSddl, CLogFolderGuard::kUpperFolderSddl}) {
        lumlib::unique_local_ptr<PSECURITY_DESCRIPTOR> ours;
        BOOL present = FALSE, defaulted = FALSE;
        PACL rules = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, ours.put(), nullptr) ||
            !::GetSecurityDescriptorDacl(ours.get(), &present, &rules, &defaulted) || rules == nullptr)
            return Trust::kUnknown;
        if (rules->AceCount != dacl->AceCount) continue;
        bool same = true;
        for (WORD i = 0; same && i < rules->AceCount; ++i) {
            void* mine = nullptr;
            void* theirs = nullptr;
            if (!::GetAce(rules, i, &mine) || !::GetAce(const_cast<ACL*>(dacl), i, &theirs)) return Trust::kUnknown;
            same = static_cast<ACE_HEADER*>(mine)->AceSize == static_cast<ACE_HEADER*>(theirs)->AceSize &&
                   std::memcmp(mine, theirs, static_cast<ACE_HEADER*>(mine)->AceSize) == 0;
        }
        if (same) return Trust::kTrusted;
    }
    return Trust::kUntrusted;
}

}  // namespace

CLogFolderGuard::CLogFolderGuard(const std::wstring& directory)
    : m_directory(logfile::TrimDirectory(directory)),
      m_parent(logfile::TrimDirectory(m_directory.substr(0, m_directory.find_last_of(L'\\') + 1))),
      m_privilege(QueryPrivilege()) {}

bool CLogFolderGuard::CreateLogFolder(const wchar_t* directory) {
    const std::wstring dir = logfile::TrimDirectory(directory ? directory : L"");
    if (dir.empty()) return false;
    // The log folder's rules, and those of the folders above it, whose owner
    // may make the next level (the log folder's own rules would refuse it that).
    lumlib::unique_local_ptr<PSECURITY_DESCRIPTOR> descriptor, upperDescriptor;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, FALSE}, upper = sa;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFolderSddl, SDDL_REVISION_1, descriptor.put(),
                                                               nullptr))
        sa.lpSecurityDescriptor = descriptor.get();
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(kUpperFolderSddl, SDDL_REVISION_1,
                                                               upperDescriptor.put(), nullptr))
        upper.lpSecurityDescriptor = upperDescriptor.get();
    // Each level from the top: the ones that exist are left as they are.
    size_t from = 0;
    if (dir.size() >= 2 && dir[1] == L':') from = 3;                                   // "C:\"
    else if (dir.compare(0, 2, L"\\\\") == 0) from = dir.find(L'\\', dir.find(L'\\', 2) + 1);  // \\server\share
    size_t slash = from == std::wstring::npos ? from : dir.find(L'\\', from);
    while (from != std::wstring::npos) {
        ::CreateDirectoryW(dir.substr(0, slash).c_str(), slash == std::wstring::npos ? &sa : &upper);
        if (slash == std::wstring::npos) break;
        slash = dir.find(L'\\', slash + 1);
    }
    const DWORD attributes = ::GetFileAttributesW(dir.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void CLogFolderGuard::SetReparseQuery(PFN_QUERY_REPARSE query, void* context) {
    m_queryReparse = query ? query : &CLogFolderGuard::QueryReparseLive;
    m_queryReparseContext = query ? context : nullptr;
}

void CLogFolderGuard::SetHardening(bool privileged, PFN_QUERY_OWNER query, void* context) {
    m_privilege = privileged ? Privilege::kPrivileged : Privilege::kOrdinary;
    m_queryOwner = query ? query : &CLogFolderGuard::QueryOwnerTrustedLive;
    m_queryOwnerContext = query ? context : nullptr;
}

void CLogFolderGuard::Hold(DWORD holdMs) {
    m_holdTick = logfile::HoldTick();
    m_holdMs = holdMs;
}

bool CLogFolderGuard::IsDirectoryJunction() {
    const DWORD now = ::GetTickCount();
    if (m_holdTick != 0 && now - m_holdTick <= m_holdMs) return true;
    DWORD tag = 0;
    const DWORD attributes = m_queryReparse(m_queryReparseContext, m_directory.c_str(), &tag);
    // A reparse point whose tag could not be read may be a junction: held, and looked at again soon.
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        (tag == IO_REPARSE_TAG_MOUNT_POINT || tag == kUnknownTag)) {
        Hold(tag == kUnknownTag ? kRecheckMs : kHoldMs);
        return true;
    }
    m_holdTick = 0;
    return false;
}

DWORD CLogFolderGuard::QueryReparseLive(void*, const wchar_t* directory, DWORD* reparseTag) {
    if (reparseTag) *reparseTag = 0;
    const DWORD attributes = ::GetFileAttributesW(directory);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // Missing: the open makes it anew. Not readable for another reason: a
        // reparse point of unknown tag, so a folder that cannot be checked is not written through.
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return attributes;
        return FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    }
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return attributes;
    WIN32_FIND_DATAW fd;
    lumlib::unique_find_handle find(::FindFirstFileW(directory, &fd));
    if (find.is_valid() && reparseTag) *reparseTag = fd.dwReserved0;  // else 0: unknown
    return attributes;
}

CLogFolderGuard::Privilege CLogFolderGuard::QueryPrivilege() {
    CHandleHolder token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, token.put())) return Privilege::kUnknown;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size))
        return Privilege::kUnknown;
    if (elevation.TokenIsElevated) return Privilege::kPrivileged;
    alignas(TOKEN_USER) uint8_t user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    if (!ReadTokenUser(token.get(), user)) return Privilege::kUnknown;
    if (::IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, WinLocalSystemSid)) return Privilege::kPrivileged;
    // Services (also LocalService and NetworkService) carry the SERVICE group. The
    // process's token is asked: without one, a thread that impersonates a client would
    // be asked about the client. A question without an answer is no "ordinary".
    CHandleHolder identity;
    uint8_t serviceSid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(serviceSid);
    BOOL member = FALSE;
    if (!::DuplicateToken(token.get(), SecurityIdentification, identity.put()) ||
        !::CreateWellKnownSid(WinServiceSid, nullptr, serviceSid, &sidSize) ||
        !::CheckTokenMembership(identity.get(), serviceSid, &member))
        return Privilege::kUnknown;
    return member ? Privilege::kPrivileged : Privilege::kOrdinary;
}

CLogFolderGuard::Trust CLogFolderGuard::QueryOwnerTrustedLive(void*, const wchar_t* folder) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    lumlib::unique_local_ptr<PSECURITY_DESCRIPTOR> descriptor;
    const DWORD rc = ::GetNamedSecurityInfoW(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                             &owner, nullptr, &dacl, nullptr, descriptor.put());
    if (rc != ERROR_SUCCESS || !owner) return Trust::kUnknown;
    if (::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid))
        return Trust::kTrusted;
    // The process's own user already has every right the process has.
    CHandleHolder token;
    alignas(TOKEN_USER) uint8_t user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()) || !ReadTokenUser(token.get(), user))
        return Trust::kUnknown;
    if (::EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user)->User.Sid)) return Trust::kTrusted;
    // Another account's folder, made by this library in a process of that account.
    return CarriesLogFolderRules(descriptor.get(), dacl);
}

bool CLogFolderGuard::IsRefused() {
    if (m_privilege == Privilege::kUnknown) m_privilege = QueryPrivilege();  // cannot tell yet: careful meanwhile
    if (m_privilege == Privilege::kOrdinary || m_directory.empty()) return false;
    // the log folder and the one above it (\Zelkor\Tessaline Server), checked before every open
    for (const std::wstring* folder : {&m_directory, &m_parent}) {
        if (folder->empty()) continue;
        DWORD tag = 0;
        const DWORD attributes = m_queryReparse(m_queryReparseContext, folder->c_str(), &tag);
        if (attributes == INVALID_FILE_ATTRIBUTES) continue;  // missing: the open fails and creates it anew
        const Trust trust = !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? m_queryOwner(m_queryOwnerContext, folder->c_str())
                            : tag == kUnknownTag                     ? Trust::kUnknown
                                                                     : Trust::kUntrusted;
        if (trust != Trust::kTrusted) {
            // an owner that could not be read is asked again soon, not after the whole hold
            Hold(trust == Trust::kUnknown ? kRecheckMs : kHoldMs);
            return true;
        }
    }
    return false;
}

bool CLogFolderGuard::IsOpenFileAcceptable(HANDLE file, const std::wstring& expectedPath, bool* unread) const {
    *unread = true;
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file, &info)) return false;
    *unread = false;
    // a regular file with this one name: no link or junction, no hard link to some other file
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (info.nNumberOfLinks != 1) return false;
    if (m_privilege == Privilege::kOrdinary) return true;
    // the file actually opened is the one meant, whatever the path went through
    wchar_t opened[MAX_PATH + kLongPathPrefixChars];
    const DWORD openedChars = ::GetFinalPathNameByHandleW(file, opened, MAX_PATH + kLongPathPrefixChars,
                                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (openedChars == 0 || openedChars >= MAX_PATH + kLongPathPrefixChars) {
        *unread = true;
        return false;
    }
    wchar_t full[MAX_PATH], expected[MAX_PATH];
    return logfile::SamePath(WithoutLongPathPrefix(opened), ExpectedFinalPath(expectedPath.c_str(), full, expected));
}
