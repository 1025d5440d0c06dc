#include "log/ZkLoggerBuffer.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "log/ZkLogger.h"

namespace {

// Every writer of every process shares the files: appends only (no seek, the
// system puts each write at the end in one piece), and the others may read,
// write, rename and delete while this handle is open.
// FILE_READ_DATA: byte-range locks need read or write data access.
const DWORD kAppendAccess = FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// The appends of every process are serialised by a lock on one byte far past
// any real file size: Windows makes each append whole by itself, but Wine (and
// some network file systems) put a write at the size they last saw. The byte
// after it serialises the rotations. The system drops the locks with the
// handle, also when a process dies.
const DWORD kLockOffsetHigh = 0x40000000;  // byte 2^62
const DWORD kAppendLockOffsetLow = 0;
const DWORD kRotationLockOffsetLow = 1;
// How many times in a row one append may find the file full and see it
// rotated (by this process or another) before it goes into the file at hand:
// with a backlog, the others can fill each new file before this one gets to it.
const int kRotationRounds = 16;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Renames and deletes go through a handle of the very file that was checked.
const DWORD kRenameAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
const wchar_t kLineEnd[] = L"\r\n";

// NTFS lists names in upper-case ordinal order; sort the same way on any file system.
bool NameLess(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The folder part of a path, trailing backslashes removed; a drive root keeps
// its backslash ("C:" alone would name the drive's current directory).
std::wstring TrimDirectory(std::wstring dir) {
    while (!dir.empty() && dir.back() == L'\\') {
        if (dir.size() == 3 && dir[1] == L':') break;
        dir.pop_back();
    }
    return dir;
}

struct FileId {
    DWORD volume = 0, high = 0, low = 0;
    bool operator==(const FileId& o) const { return volume == o.volume && high == o.high && low == o.low; }
};

bool GetFileId(HANDLE file, FileId* id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file, &info)) return false;
    id->volume = info.dwVolumeSerialNumber;
    id->high = info.nFileIndexHigh;
    id->low = info.nFileIndexLow;
    return true;
}

// Opens a name itself, never what a link or junction at that name points to.
HANDLE OpenForRename(const std::wstring& path) {
    return ::CreateFileW(path.c_str(), kRenameAccess, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Renames the file behind an open handle; never replaces an existing file.
bool RenameByHandle(HANDLE file, const std::wstring& to) {
    const size_t nameBytes = to.size() * sizeof(wchar_t);
    lumlib::CByteBlock block(sizeof(FILE_RENAME_INFO) + nameBytes);  // the name runs past the struct
    if (block.empty()) return false;
    memset(block.get(), 0, block.capacity());
    FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(block.get());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    memcpy(info->FileName, to.c_str(), nameBytes);
    return ::SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(block.capacity())) != FALSE;
}

// The number of a canonical numbered name ("zksndapi(07).txt"), else 0.
uint32_t NumberOf(const std::wstring& name, const std::wstring& stem) {
    if (name.size() < stem.size() + 7) return 0;  // "(" + at least two digits + ").txt"
    const size_t open = stem.size();
    if (name[open] != L'(') return 0;
    uint32_t number = 0;
    size_t i = open + 1;
    for (; i < name.size() && name[i] >= L'0' && name[i] <= L'9' && number < 100000; ++i)
        number = number * 10 + (name[i] - L'0');
    return name.compare(i, std::wstring::npos, L").txt") == 0 ? number : 0;
}

const size_t kLongPathPrefixChars = 8;  // "\\?\UNC\"

// "\\?\C:\x" -> "C:\x", "\\?\UNC\server\share" -> "\\server\share".
std::wstring WithoutLongPathPrefix(const std::wstring& path) {
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + path.substr(7);
    if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
    return path;
}

// The full, long form of a path, as GetFinalPathNameByHandleW gives it (without its prefix).
std::wstring ExpectedFinalPath(const std::wstring& path) {
    wchar_t full[MAX_PATH];
    const DWORD fullChars = ::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    if (fullChars == 0 || fullChars >= MAX_PATH) return path;
    std::wstring text = full;
    const size_t slash = text.find_last_of(L'\\');
    if (slash == std::wstring::npos) return text;
    wchar_t folder[MAX_PATH];
    const DWORD folderChars = ::GetLongPathNameW(text.substr(0, slash).c_str(), folder, MAX_PATH);
    if (folderChars == 0 || folderChars >= MAX_PATH) return text;
    return folder + text.substr(slash);
}

// The hold tick for a refusal; 0 means "nothing seen".
DWORD HoldTick() {
    const DWORD now = ::GetTickCount();
    return now ? now : 1;
}

// Holds one lock byte of a file (kLockOffsetHigh) while in scope, when it can
// be had in time: waitMs at most, and none at all (one try) while a wait that
// timed out is less than kLockSkipMs old (*skipTick). Anyone who can read the
// log can hold the byte; the caller then goes on without it.
class CByteLock {
public:
    CByteLock(HANDLE file, DWORD offsetLow, DWORD waitMs, uint32_t* skipTick) : m_file(file), m_offsetLow(offsetLow) {
        const DWORD start = ::GetTickCount();
        if (*skipTick != 0 && start - *skipTick < CZkLoggerBuffer::kLockSkipMs) waitMs = 0;
        else *skipTick = 0;
        for (DWORD tries = 0;; ++tries) {
            OVERLAPPED at = At();
            if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
                m_locked = true;
                return;
            }
            if (::GetLastError() != ERROR_LOCK_VIOLATION) return;  // cannot be locked at all
            if (::GetTickCount() - start >= waitMs) {
                if (waitMs) *skipTick = HoldTick();
                return;
            }
            ::Sleep(tries < 8 ? 0 : 1);  // another process is appending: a few microseconds, usually
        }
    }
    ~CByteLock() {
        OVERLAPPED at = At();
        if (m_locked) ::UnlockFileEx(m_file, 0, 1, 0, &at);
    }
    CByteLock(const CByteLock&) = delete;
    CByteLock& operator=(const CByteLock&) = delete;

private:
    OVERLAPPED At() const {
        OVERLAPPED at = {};
        at.Offset = m_offsetLow;
        at.OffsetHigh = kLockOffsetHigh;
        return at;
    }
    HANDLE m_file;
    DWORD m_offsetLow;
    bool m_locked = false;
};

// The clock fields a line prefix starts with, in their order ('d' a digit, 's' a sign).
const wchar_t* const kClockFields[] = {L"dddd.dd.dd ", L"dd:dd:dd.ddd ", L"(sdd:dd) "};
const size_t kClockFieldCount = sizeof(kClockFields) / sizeof(kClockFields[0]);
const size_t kClockChars = 40;  // all three, and more

bool IsFieldAt(const wchar_t* text, size_t chars, const wchar_t* pattern) {
    for (size_t i = 0; pattern[i]; ++i) {
        if (i >= chars) return false;
        const wchar_t c = text[i];
        const bool fits = pattern[i] == L'd' ? c >= L'0' && c <= L'9' : pattern[i] == L's' ? c == L'+' || c == L'-' : c == pattern[i];
        if (!fits) return false;
    }
    return true;
}

// Where each clock field starts in a line (-1: absent).
void FindClockFields(const wchar_t* text, size_t chars, ptrdiff_t (&at)[kClockFieldCount]) {
    size_t pos = 0;
    for (size_t k = 0; k < kClockFieldCount; ++k) {
        const bool present = IsFieldAt(text + pos, chars - pos, kClockFields[k]);
        at[k] = present ? static_cast<ptrdiff_t>(pos) : -1;
        if (present) pos += wcslen(kClockFields[k]);
    }
}

// Gives the line that starts at text[start] the clock fields of source, where both have them.
void TakeClockFields(std::wstring& text, size_t start, const wchar_t* source, size_t sourceChars) {
    if (start >= text.size()) return;
    ptrdiff_t mine[kClockFieldCount], theirs[kClockFieldCount];
    FindClockFields(text.data() + start, text.size() - start, mine);
    FindClockFields(source, sourceChars, theirs);
    for (size_t k = 0; k < kClockFieldCount; ++k)
        if (mine[k] >= 0 && theirs[k] >= 0)
            text.replace(start + static_cast<size_t>(mine[k]), wcslen(kClockFields[k]), source + theirs[k],
                         wcslen(kClockFields[k]));
}

// The three clock fields of now, as a line prefix has them.
std::wstring ClockNow() {
    SYSTEMTIME local = {}, utc = {};
    ::GetLocalTime(&local);
    ::GetSystemTime(&utc);
    wchar_t text[kClockChars] = L"";
    const int chars = _snwprintf_s(text, kClockChars, _TRUNCATE, L"%04u.%02u.%02u %02u:%02u:%02u.%03u ", local.wYear,
                                   local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds);
    if (chars > 0) CZkLogger::FormatUtcOffset(text + chars, kClockChars - chars, utc, local);
    return text;
}

}  // namespace

const wchar_t CZkLoggerBuffer::kLogFolderSddl[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200ab;;;WD)(A;;0x1200ab;;;S-1-3-4)(A;OIIO;0x13019f;;;WD)";

bool CZkLoggerBuffer::CreateLogFolder(const wchar_t* directory) {
    const std::wstring dir = TrimDirectory(directory ? directory : L"");
    if (dir.empty()) return false;
    lumlib::unique_local_ptr<PSECURITY_DESCRIPTOR> descriptor;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, FALSE};
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFolderSddl, SDDL_REVISION_1, descriptor.put(),
                                                               nullptr))
        sa.lpSecurityDescriptor = descriptor.get();
    // Each level from the top: the ones that exist are left as they are.
    size_t from = 0;
    if (dir.size() >= 2 && dir[1] == L':') from = 3;                                   // "C:\"
    else if (dir.compare(0, 2, L"\\\\") == 0) from = dir.find(L'\\', dir.find(L'\\', 2) + 1);  // \\server\share
    for (size_t slash = dir.find(L'\\', from); from != std::wstring::npos; slash = dir.find(L'\\', slash + 1)) {
        ::CreateDirectoryW(dir.substr(0, slash).c_str(), &sa);
        if (slash == std::wstring::npos) break;
    }
    const DWORD attributes = ::GetFileAttributesW(dir.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

CZkLoggerBuffer::CZkLoggerBuffer(CZkLogger* logger, const wchar_t* basePath, const wchar_t* sddl,
                                 uint32_t maxFileSize, uint32_t asyncFlag, const wchar_t* header,
                                 uint32_t rotationFileNumber)
    : CTransferBuffer(),
      m_headerPending(1),
      m_logger(logger),
      m_basePath(basePath ? basePath : L""),
      m_fileName(m_basePath + L".txt"),
      m_maxFileSize(static_cast<LONG>(maxFileSize)),
      m_rotationIndex(kRotationUndetermined),
      m_async(asyncFlag),
      m_lastWriteTick(::GetTickCount()),
      m_rotationFileNumber(static_cast<LONG>(rotationFileNumber ? rotationFileNumber : 1)),
      m_header(header ? header : L""),
      m_junctionHoldTick(0),
      m_queryReparse(&CZkLoggerBuffer::QueryReparseLive),
      m_queryReparseContext(nullptr),
      m_privileged(IsPrivilegedProcess()),
      m_queryOwner(&CZkLoggerBuffer::QueryOwnerTrustedLive) {
    // A line waits up to kLingerMs for the writer instead of waking it: the
    // caller pays no wake-up for each line, and the writer joins the lines of
    // a burst into one append.
    SetLinger(kLingerMs, kLingerIdleMs);
    // A writer held up by the disk or another process must not let the queue
    // take the host's memory: past the cap lines are counted, not queued.
    SetQueueCap(kQueueCapBytes);
    const wchar_t* loggerDir = m_logger ? m_logger->GetLogDirectory() : nullptr;
    if (loggerDir && *loggerDir) {
        m_directory = TrimDirectory(loggerDir);
    } else {
        // Without a logger the folder is the one the base path names.
        size_t slash = m_basePath.find_last_of(L'\\');
        if (slash != std::wstring::npos) m_directory = TrimDirectory(m_basePath.substr(0, slash + 1));
    }

    m_securityAttributes.nLength = sizeof(m_securityAttributes);
    m_securityAttributes.lpSecurityDescriptor = nullptr;
    m_securityAttributes.bInheritHandle = FALSE;
    // A descriptor that cannot be converted leaves default security.
    if (sddl && ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                       m_securityDescriptor.put(), nullptr))
        m_securityAttributes.lpSecurityDescriptor = m_securityDescriptor.get();
}

CZkLoggerBuffer::~CZkLoggerBuffer() {
    // What is queued reaches the file before it is closed, within the drain's time.
    DrainAndStop();
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    CloseFile();
}

void CZkLoggerBuffer::DrainAndStop() {
    // From here Process counts time: after kDrainMs it drops instead of writing.
    ::InterlockedCompareExchange(&m_drainStartTick, static_cast<LONG>(HoldTick()), 0);
    StopTransfer(0);
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    FlushBatch();
    if (::InterlockedCompareExchange(&m_capDropped, 0, 0) != 0) WriteCapNotice();
    if (m_drainDropped == 0) return;
    wchar_t message[kLogLineChars];
    _snwprintf_s(message, kLogLineChars, _TRUNCATE,
                 L"sndapi: CZkLoggerBuffer::DrainAndStop: (%u): %u lines were dropped: the log could not be written "
                 L"within %u ms of the stop.",
                 __LINE__, m_drainDropped, kDrainMs);
    m_drainDropped = 0;
    const std::wstring notice = ErrorLine(message);
    WriteRuns(notice.data(), notice.size() * sizeof(wchar_t), 0);
}

void CZkLoggerBuffer::SetMaxFileSize(uint32_t bytes) {
    ::InterlockedExchange(&m_maxFileSize, static_cast<LONG>(bytes));
}

void CZkLoggerBuffer::SetRotationFileNumber(uint32_t count) {
    ::InterlockedExchange(&m_rotationFileNumber, static_cast<LONG>(count ? count : 1));
}

uint32_t CZkLoggerBuffer::GetRotationFileNumber() const {
    return static_cast<uint32_t>(::InterlockedCompareExchange(
        const_cast<volatile LONG*>(&m_rotationFileNumber), 0, 0));
}

void CZkLoggerBuffer::SetReparseQuery(PFN_QUERY_REPARSE query, void* context) {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    m_queryReparse = query ? query : &CZkLoggerBuffer::QueryReparseLive;
    m_queryReparseContext = query ? context : nullptr;
}

uint64_t CZkLoggerBuffer::GetUnwrittenRuns() const {
    const LONG64 pushed = ::InterlockedCompareExchange64(const_cast<volatile LONG64*>(&m_pushed), 0, 0);
    const LONG64 processed = ::InterlockedCompareExchange64(const_cast<volatile LONG64*>(&m_processed), 0, 0);
    return pushed > processed ? static_cast<uint64_t>(pushed - processed) : 0;
}

bool CZkLoggerBuffer::IsFileOpen() {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    return m_file.is_valid();
}

uint32_t CZkLoggerBuffer::GetRotationIndex() {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    return m_rotationIndex;
}

void CZkLoggerBuffer::CloseIfIdle(DWORD idleMs) {
    // A writer that holds the lock is writing, or waits for a file lock: the
    // file is not idle, and the watcher must not wait with the logger lock held.
    if (!::TryEnterCriticalSection(m_lock.get())) return;
    // Unsigned tick difference: safe across the 49.7-day wrap-around.
    if (m_file.is_valid() && ::GetTickCount() - m_lastWriteTick > idleMs) CloseFile();
    ::LeaveCriticalSection(m_lock.get());
}

BOOL CZkLoggerBuffer::WriteFileLive(void*, HANDLE file, const void* data, DWORD size, DWORD* written) {
    return ::WriteFile(file, data, size, written, nullptr);
}

void CZkLoggerBuffer::SetFileWrite(PFN_WRITE_FILE write, void* context) {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    m_writeFile = write ? write : &CZkLoggerBuffer::WriteFileLive;
    m_writeFileContext = write ? context : nullptr;
}

void CZkLoggerBuffer::CloseFile() { m_file.reset(); }

std::wstring CZkLoggerBuffer::NumberedFileName(uint32_t number) const {
    wchar_t suffix[16];
    swprintf(suffix, sizeof(suffix) / sizeof(suffix[0]), L"(%02u).txt", number);
    return m_basePath + suffix;
}

std::wstring CZkLoggerBuffer::LogDirectoryWithSlash() const {
    std::wstring dir;
    const wchar_t* loggerDir = m_logger ? m_logger->GetLogDirectory() : nullptr;
    if (loggerDir && *loggerDir) {
        dir = loggerDir;
    } else {
        size_t slash = m_basePath.find_last_of(L'\\');
        if (slash != std::wstring::npos) dir = m_basePath.substr(0, slash + 1);
    }
    if (!dir.empty() && dir.back() != L'\\') dir += L'\\';
    return dir;
}

bool CZkLoggerBuffer::OpenCurrentFile(bool* created) {
    // The name itself: a link or junction left there is opened as what it is, and refused.
    HANDLE h = ::CreateFileW(m_fileName.c_str(), kAppendAccess, kShareAll, &m_securityAttributes, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    *created = ::GetLastError() != ERROR_ALREADY_EXISTS;
    m_file.reset(h);
    m_currentCheckTick = ::GetTickCount();
    if (IsOpenFileAcceptable()) return true;
    CloseFile();
    m_junctionHoldTick = HoldTick();  // looked at again after the hold, like a junction
    return false;
}

void CZkLoggerBuffer::SetHardening(bool privileged, PFN_QUERY_OWNER query, void* context) {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    m_privileged = privileged;
    m_queryOwner = query ? query : &CZkLoggerBuffer::QueryOwnerTrustedLive;
    m_queryOwnerContext = query ? context : nullptr;
}

bool CZkLoggerBuffer::IsPrivilegedProcess() {
    CHandleHolder token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return true;  // cannot tell: be careful
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    if (::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
        elevation.TokenIsElevated)
        return true;
    alignas(TOKEN_USER) uint8_t user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    if (::GetTokenInformation(token.get(), TokenUser, user, sizeof(user), &size) &&
        ::IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, WinLocalSystemSid))
        return true;
    // services (also LocalService and NetworkService) carry the SERVICE group
    uint8_t serviceSid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(serviceSid);
    BOOL member = FALSE;
    return ::CreateWellKnownSid(WinServiceSid, nullptr, serviceSid, &sidSize) &&
           ::CheckTokenMembership(nullptr, serviceSid, &member) && member;
}

bool CZkLoggerBuffer::QueryOwnerTrustedLive(void*, const wchar_t* folder) {
    PSID owner = nullptr;
    lumlib::unique_local_ptr<PSECURITY_DESCRIPTOR> descriptor;
    if (::GetNamedSecurityInfoW(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                nullptr, descriptor.put()) != ERROR_SUCCESS || !owner)
        return false;
    if (::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid))
        return true;
    // The process's own user already has every right the process has.
    CHandleHolder token;
    alignas(TOKEN_USER) uint8_t user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD size = 0;
    return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
           ::GetTokenInformation(token.get(), TokenUser, user, sizeof(user), &size) &&
           ::EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
}

bool CZkLoggerBuffer::IsFolderRefused() {
    if (!m_privileged || m_directory.empty()) return false;
    // the log folder and the one above it (\Zelkor\Tessaline Server), checked before every open
    const std::wstring parent = TrimDirectory(m_directory.substr(0, m_directory.find_last_of(L'\\') + 1));
    for (const std::wstring& folder : {m_directory, parent}) {
        if (folder.empty()) continue;
        DWORD tag = 0;
        const DWORD attributes = m_queryReparse(m_queryReparseContext, folder.c_str(), &tag);
        if (attributes == INVALID_FILE_ATTRIBUTES) continue;  // missing: the open fails and creates it anew
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !m_queryOwner(m_queryOwnerContext, folder.c_str())) {
            m_junctionHoldTick = HoldTick();
            return true;
        }
    }
    return false;
}

bool CZkLoggerBuffer::IsOpenFileAcceptable() {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(m_file.get(), &info)) return false;
    // a regular file with this one name: no link or junction, no hard link to some other file
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (info.nNumberOfLinks != 1) return false;
    if (!m_privileged) return true;
    // the file actually opened is the one meant, whatever the path went through
    wchar_t opened[MAX_PATH + kLongPathPrefixChars];
    const DWORD openedChars = ::GetFinalPathNameByHandleW(m_file.get(), opened, MAX_PATH + kLongPathPrefixChars,
                                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (openedChars == 0 || openedChars >= MAX_PATH + kLongPathPrefixChars) return false;
    return SamePath(WithoutLongPathPrefix(opened), ExpectedFinalPath(m_fileName));
}

uint32_t CZkLoggerBuffer::Push(const void* data, uint64_t size) { return Queue(data, size, false) != 0; }

uint64_t CZkLoggerBuffer::Queue(const void* data, uint64_t size, bool wake, bool* capped) {
    // The push and its count together: the count is the run's place in the queue.
    lumlib::__auto_locker lock(m_pushLock.get());
    lock.Lock();
    if (!PushBlock(data, size, wake)) {
        // Refused while the writer still runs: the queue is at its cap.
        const bool atCap = !IsClosing();
        if (atCap) ::InterlockedIncrement(&m_capDropped);
        if (capped) *capped = atCap;
        return 0;
    }
    return static_cast<uint64_t>(::InterlockedIncrement64(&m_pushed));
}

void CZkLoggerBuffer::WriteThrough(const void* data, uint64_t size) { AwaitWritten(QueueThrough(data, size)); }

uint64_t CZkLoggerBuffer::QueueThrough(const void* data, uint64_t size) {
    // The writer is woken: the caller waits for it. Once the stop has begun
    // the writer may be gone: the run is written here.
    // A run refused at the queue's cap is counted like any other line: writing
    // it here would make the caller wait for the disk the writer waits for.
    const bool queued = m_async && ::InterlockedCompareExchange(&m_drainStartTick, 0, 0) == 0;
    bool capped = false;
    const uint64_t ticket = queued ? Queue(data, size, true, &capped) : 0;
    if (ticket == 0 && !capped) Process(static_cast<const uint8_t*>(data), size, 1);
    return ticket;
}

void CZkLoggerBuffer::AwaitWritten(uint64_t ticket) {
    const LONG64 run = static_cast<LONG64>(ticket);
    if (run == 0) return;
    // A writer that kept a caller waiting for the whole time (a stalled disk)
    // is not waited for again before it has caught up with that caller's run.
    if (::InterlockedCompareExchange64(&m_processed, 0, 0) < ::InterlockedCompareExchange64(&m_stalledTicket, 0, 0)) return;
    const DWORD start = ::GetTickCount();
    ::InterlockedIncrement(&m_waiters);  // before the look at m_processed: the writer wakes whoever it counts
    lumlib::__auto_locker lock(m_writtenLock.get());
    lock.Lock();
    const bool written = WaitWrittenLocked(ticket, start);
    if (::InterlockedDecrement(&m_waiters) == 0) ::InterlockedExchange64(&m_awaited, 0);
    if (written) return;
    for (LONG64 stalled = ::InterlockedCompareExchange64(&m_stalledTicket, 0, 0); stalled < run;) {
        const LONG64 seen = ::InterlockedCompareExchange64(&m_stalledTicket, run, stalled);
        if (seen == stalled) break;
        stalled = seen;
    }
}

bool CZkLoggerBuffer::WaitWrittenLocked(uint64_t ticket, DWORD start) {
    const LONG64 run = static_cast<LONG64>(ticket);
    for (;;) {
        const LONG64 processed = ::InterlockedCompareExchange64(&m_processed, 0, 0);
        if (processed >= run) return true;
        // The oldest run awaited (callers change it under m_writtenLock only):
        // the writer writes its batch as soon as that run is in it.
        const LONG64 awaited = ::InterlockedCompareExchange64(&m_awaited, 0, 0);
        if (awaited <= processed || run < awaited) ::InterlockedExchange64(&m_awaited, run);
        const DWORD waited = ::GetTickCount() - start;
        if (waited >= kWriteThroughWaitMs) return false;
        ::SleepConditionVariableCS(&m_written, m_writtenLock.get(), kWriteThroughWaitMs - waited);
    }
}

uint32_t CZkLoggerBuffer::Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    const DWORD drainStart = static_cast<DWORD>(::InterlockedCompareExchange(&m_drainStartTick, 0, 0));
    if (data && size && ::InterlockedCompareExchange(&m_capDropped, 0, 0) != 0) WriteCapNotice();
    if (data && size && drainStart != 0 && ::GetTickCount() - drainStart >= kDrainMs) {
        ++m_drainDropped;  // the stop's time is up: counted, and reported once by DrainAndStop
    } else if (data && size) {
        // Runs that follow one another in the queue go out as one append: the
        // lock, size check and write are paid once per batch, not once per line.
        if (m_batchBytes > 0 && m_batchBytes + size > kBatchBytes) FlushBatch();
        if (m_batch.Grow(m_batchBytes + size)) {
            memcpy(m_batch.get() + m_batchBytes, data, static_cast<size_t>(size));
            m_batchBytes += size;
            ++m_batchRuns;
        } else {
            FlushBatch();  // no memory to join: this run alone
            WriteRuns(data, size, 1);
        }
    }
    ++m_pendingRuns;
    const LONG64 awaited = ::InterlockedCompareExchange64(&m_awaited, 0, 0);
    const LONG64 processed = ::InterlockedCompareExchange64(&m_processed, 0, 0);
    const bool awaitedTaken = awaited > processed && processed + m_pendingRuns >= awaited;
    if (queueEmpty || awaitedTaken || m_batchBytes >= kBatchBytes) FlushBatch();
    return 1;
}

void CZkLoggerBuffer::FlushBatch() {
    if (m_batchBytes > 0) WriteRuns(m_batch.get(), m_batchBytes, m_batchRuns);
    m_batchBytes = 0;
    m_batchRuns = 0;
    // Counted whatever became of the runs: a WriteThrough waits for its turn, not for success.
    ::InterlockedExchangeAdd64(&m_processed, m_pendingRuns);
    m_pendingRuns = 0;
    if (::InterlockedCompareExchange(&m_waiters, 0, 0) == 0) return;
    // Under the callers' lock: a caller between its look at the count and its sleep is not missed.
    lumlib::__auto_locker lock(m_writtenLock.get());
    lock.Lock();
    ::WakeAllConditionVariable(&m_written);
}

void CZkLoggerBuffer::WriteRuns(const void* data, uint64_t size, uint32_t runs) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1) {
            // The file may have gone bad or its folder may be missing: start over.
            CloseFile();
            m_junctionHoldTick = 0;
            size_t slash = m_basePath.find_last_of(L'\\');
            if (slash != std::wstring::npos) CreateLogFolder(m_basePath.substr(0, slash).c_str());
        }
        if (!m_file.is_valid()) {
            if (IsDirectoryJunction() || IsFolderRefused()) return;  // dropped
            bool created = false;
            if (!OpenCurrentFile(&created)) continue;
            m_headerPending = created ? 1 : 0;
        } else if (::GetTickCount() - m_currentCheckTick >= kCurrentCheckMs) {
            // A file deleted or renamed away under the handle: what is written
            // to it would be lost, or land in some other file.
            m_currentCheckTick = ::GetTickCount();
            if (!IsStillCurrent()) {
                m_rotationIndex = kRotationUndetermined;
                if (!ReopenCurrent()) continue;
            }
        }
        if (AppendChecked(data, size, runs) != Appended::kFailed) return;
    }
}

CZkLoggerBuffer::Appended CZkLoggerBuffer::AppendChecked(const void* data, uint64_t size, uint32_t runs) {
    for (int round = 0;; ++round) {
        if (!m_file.is_valid()) return Appended::kFailed;
        {
            CByteLock appending(m_file.get(), kAppendLockOffsetLow, kAppendLockWaitMs, &m_appendLockSkipTick);
            // The size under the append lock: no other append falls between the check and this one,
            // so a file passes its limit by one append at most.
            LARGE_INTEGER li;
            const uint64_t fileSize = ::GetFileSizeEx(m_file.get(), &li) ? static_cast<uint64_t>(li.QuadPart) : 0;
            const uint64_t limit = static_cast<uint32_t>(::InterlockedCompareExchange(&m_maxFileSize, 0, 0));
            // rotation failed a moment ago: append meanwhile, up to the hard limit
            const bool retryDue = !m_rotationFailed || ::GetTickCount() - m_rotationFailTick >= kRotationRetryMs;
            if (fileSize <= limit || !retryDue || round >= kRotationRounds) {
                if (fileSize > limit && fileSize + size > limit * kHardLimitFactor) {
                    m_droppedRuns += runs;  // reported by the first line written after a successful rotation
                    return Appended::kDropped;
                }
                return AppendRun(data, size) ? Appended::kWritten : Appended::kFailed;
            }
        }
        RotateOrFollow();
    }
}

void CZkLoggerBuffer::RotateOrFollow() {
    enum { kRotated, kMovedOn, kBlocked } outcome = kMovedOn;
    // A file already rotated away needs no lock to be seen: the others fill
    // the new file meanwhile, and a late follower finds it full in turn.
    if (IsStillCurrent()) {
        // Each process rotates only under this lock: one rotates, and the
        // others find the file gone from the name and follow.
        CByteLock rotating(m_file.get(), kRotationLockOffsetLow, kRotationLockWaitMs, &m_rotationLockSkipTick);
        if (!IsStillCurrent())
            outcome = kMovedOn;
        else if (Rotate())
            outcome = kRotated;
        else  // a rename lost to a process that did not wait for the lock is no failure
            outcome = IsStillCurrent() ? kBlocked : kMovedOn;
    }
    if (outcome == kBlocked) {
        m_rotationFailed = true;  // the full file stays open and takes appends up to the hard limit
        m_rotationFailTick = ::GetTickCount();
        return;
    }
    m_rotationFailed = false;
    if (outcome == kMovedOn) m_rotationIndex = kRotationUndetermined;  // the other process moved the numbers on
    ReopenCurrent();
}

bool CZkLoggerBuffer::ReopenCurrent() {
    CloseFile();
    bool created = false;
    if (IsDirectoryJunction() || IsFolderRefused() || !OpenCurrentFile(&created)) return false;
    // A new file (made here, or just now by another process) starts with the header.
    m_headerPending = created ? 1 : 0;
    m_noticeDue = m_droppedRuns > 0;
    return true;
}

bool CZkLoggerBuffer::AppendRun(const void* data, uint64_t size) {
    if (!m_file.is_valid()) return false;
    const std::string lineEnd = m_fragmentPossible ? LineEndAfterFragment() : std::string();
    std::wstring header = m_headerPending ? m_header : std::wstring();
    // dropped runs are reported in the first file after them, not in the full one
    std::wstring notice = m_droppedRuns && m_noticeDue ? DroppedNotice() : std::wstring();
    if (!header.empty() || !notice.empty()) {
        // The header and the notice carry the time of the line after them (of
        // now, when it has none): time never goes back across files.
        wchar_t first[kClockChars];
        const size_t firstChars = std::min<uint64_t>(size / sizeof(wchar_t), kClockChars);
        if (firstChars) memcpy(first, data, firstChars * sizeof(wchar_t));
        const std::wstring now = ClockNow();
        // every line of the header (the system, then the library and its host)
        for (size_t start = header.find_first_not_of(kLineEnd); start < header.size();
             start = header.find_first_not_of(kLineEnd, header.find(kLineEnd, start))) {
            TakeClockFields(header, start, now.data(), now.size());
            TakeClockFields(header, start, first, firstChars);
        }
        TakeClockFields(notice, 0, first, firstChars);
    }
    const void* out = data;
    uint64_t outSize = size;
    if (!lineEnd.empty() || !header.empty() || !notice.empty()) {
        // the line end, header, notice and run: one append, so no other
        // process's line can fall between them
        const uint64_t headerBytes = header.size() * sizeof(wchar_t);
        const uint64_t noticeBytes = notice.size() * sizeof(wchar_t);
        outSize = lineEnd.size() + headerBytes + noticeBytes + size;
        if (!m_joined.Grow(outSize)) return false;
        uint8_t* at = m_joined.get();
        memcpy(at, lineEnd.data(), lineEnd.size());
        memcpy(at += lineEnd.size(), header.data(), headerBytes);
        memcpy(at += headerBytes, notice.data(), noticeBytes);
        if (size) memcpy(at + noticeBytes, data, size);
        out = m_joined.get();
    }
    if (outSize > MAXDWORD) return false;  // one append or none
    DWORD written = 0;
    if (outSize > 0 && (!m_writeFile(m_writeFileContext, m_file.get(), out, static_cast<DWORD>(outSize), &written) ||
                        written != outSize)) {
        m_fragmentPossible = true;  // the next append looks at the file's end first
        return false;
    }
    m_fragmentPossible = false;
    m_headerPending = 0;
    if (!notice.empty()) m_droppedRuns = 0;
    m_lastWriteTick = ::GetTickCount();
    return true;
}

std::string CZkLoggerBuffer::LineEndAfterFragment() {
    LARGE_INTEGER li;
    if (!::GetFileSizeEx(m_file.get(), &li) || li.QuadPart <= 0) return std::string();
    std::string out;
    if (li.QuadPart % 2 != 0) {
        out.push_back('\0');  // completes the cut character: what follows is aligned again
    } else {
        wchar_t last = 0;
        DWORD got = 0;
        OVERLAPPED at = {};  // the file's last character; reads leave the appends alone
        at.Offset = static_cast<DWORD>(li.QuadPart - 2);
        at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(li.QuadPart - 2) >> 32);
        if (::ReadFile(m_file.get(), &last, sizeof(last), &got, &at) && got == sizeof(last) && last == L'\n') return out;
    }
    out.append("\r\0\n\0", 4);
    return out;
}

std::wstring CZkLoggerBuffer::ErrorLine(const wchar_t* text) const {
    wchar_t prefix[kLogLineChars] = L"";
    if (m_logger) m_logger->FormatPrefix(prefix, L"ERROR");
    return std::wstring(prefix) + text + kLineEnd;
}

void CZkLoggerBuffer::WriteCapNotice() {
    const LONG dropped = ::InterlockedExchange(&m_capDropped, 0);
    wchar_t message[kLogLineChars];
    _snwprintf_s(message, kLogLineChars, _TRUNCATE,
                 L"sndapi: CZkLoggerBuffer::Queue: (%u): %ld lines were dropped: more than %u KiB of lines waited "
                 L"for the log file.",
                 __LINE__, dropped, static_cast<unsigned>(kQueueCapBytes / 1024));
    const std::wstring notice = ErrorLine(message);
    FlushBatch();  // in queue order: the lines before the drop first
    WriteRuns(notice.data(), notice.size() * sizeof(wchar_t), 0);
}

std::wstring CZkLoggerBuffer::DroppedNotice() const {
    wchar_t message[kLogLineChars];
    _snwprintf_s(message, kLogLineChars, _TRUNCATE,
                 L"sndapi: CZkLoggerBuffer::Process: (%u): the log could not be rotated; %u lines were dropped "
                 L"while it was over %u times its size limit.",
                 __LINE__, m_droppedRuns, kHardLimitFactor);
    return ErrorLine(message);
}

bool CZkLoggerBuffer::IsStillCurrent() {
    FileId open, named;
    if (!GetFileId(m_file.get(), &open)) return true;  // cannot tell: keep the handle
    CHandleHolder byName(::CreateFileW(m_fileName.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return byName.is_valid() && GetFileId(byName.get(), &named) && open == named;
}

bool CZkLoggerBuffer::Rotate() {
    const uint32_t files = GetRotationFileNumber();
    FileId own;
    if (!GetFileId(m_file.get(), &own)) return false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        // A failed rename (another process took the number) scans the folder again.
        if (attempt == 1 || m_rotationIndex >= files) m_rotationIndex = CompactNumberedFiles();
        if (m_rotationIndex >= files) break;  // no room: the old numbered files could not be removed
        if (IsDirectoryJunction()) break;
        const uint32_t target = m_rotationIndex + 1;
        // The very file this handle holds, never one another process has just put under the name.
        CHandleHolder full(OpenForRename(m_fileName));
        FileId named;
        if (!full.is_valid() || !GetFileId(full.get(), &named) || !(named == own)) break;
        if (RenameByHandle(full.get(), NumberedFileName(target))) {
            m_rotationIndex = target;
            return true;
        }
    }
    m_rotationIndex = kRotationUndetermined;  // the next attempt compacts again
    return false;
}

bool CZkLoggerBuffer::RenameOpenFile(const std::wstring& from, const std::wstring& to) {
    CHandleHolder file(OpenForRename(from));
    return file.is_valid() && RenameByHandle(file.get(), to);
}

bool CZkLoggerBuffer::DeleteNumberedFile(const std::wstring& path) {
    CHandleHolder file(OpenForRename(path));
    if (!file.is_valid()) return ::GetLastError() == ERROR_FILE_NOT_FOUND;  // gone already counts as deleted
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return ::SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

uint32_t CZkLoggerBuffer::CompactNumberedFiles() {
    if (IsDirectoryJunction()) return GetRotationFileNumber();  // no room: nothing is touched

    std::vector<std::wstring> names;
    const std::wstring pattern = m_basePath + L"(*).txt";
    WIN32_FIND_DATAW fd;
    {
        lumlib::unique_find_handle find(::FindFirstFileW(pattern.c_str(), &fd));
        if (!find.is_valid()) return 0;
        do {
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(fd.cFileName);
        } while (::FindNextFileW(find.get(), &fd));
    }
    // The lowest numbers are the oldest, whatever order the file system lists them in.
    std::sort(names.begin(), names.end(), NameLess);

    const std::wstring dir = LogDirectoryWithSlash();
    const size_t stemStart = m_basePath.find_last_of(L'\\') + 1;  // npos + 1 == 0
    const std::wstring stem = m_basePath.substr(stemStart);
    const uint32_t keep = GetRotationFileNumber();
    // The oldest go until fewer than keep remain; one that cannot be deleted
    // (held open) stays, and the next oldest goes in its place.
    std::vector<std::wstring> kept;
    size_t remaining = names.size();
    for (const std::wstring& name : names) {
        if (remaining >= keep && DeleteNumberedFile(dir + name)) {
            --remaining;
            continue;
        }
        kept.push_back(name);
    }
    // The rest move down to 1, 2, 3, ...; a file that cannot move keeps its
    // number, and the numbering goes on after it.
    uint32_t highest = 0;
    for (const std::wstring& name : kept) {
        const std::wstring from = dir + name;
        const std::wstring to = NumberedFileName(highest + 1);
        if (SamePath(from, to) || RenameOpenFile(from, to)) {
            ++highest;
            continue;
        }
        const uint32_t own = NumberOf(name, stem);
        if (own > highest && SamePath(from, NumberedFileName(own))) highest = own;
    }
    return highest;
}

bool CZkLoggerBuffer::IsDirectoryJunction() {
    const DWORD now = ::GetTickCount();
    if (m_junctionHoldTick != 0 && now - m_junctionHoldTick <= kJunctionHoldMs) return true;

    DWORD tag = 0;
    const DWORD attributes = m_queryReparse(m_queryReparseContext, m_directory.c_str(), &tag);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        tag == IO_REPARSE_TAG_MOUNT_POINT) {
        m_junctionHoldTick = now ? now : 1;  // 0 means "no junction seen"
        return true;
    }
    m_junctionHoldTick = 0;
    return false;
}

DWORD CZkLoggerBuffer::QueryReparseLive(void*, const wchar_t* directory, DWORD* reparseTag) {
    if (reparseTag) *reparseTag = 0;
    const DWORD attributes = ::GetFileAttributesW(directory);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return attributes;
    WIN32_FIND_DATAW fd;
    lumlib::unique_find_handle find(::FindFirstFileW(directory, &fd));
    if (find.is_valid() && reparseTag) *reparseTag = fd.dwReserved0;  // the reparse tag of a reparse point
    return attributes;
}
