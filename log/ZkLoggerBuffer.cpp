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
// some network file systems) put a write at the size they last saw. The
// system drops the lock with the handle, also when a process dies.
const DWORD kAppendLockOffsetHigh = 0x40000000;  // byte 2^62
const DWORD kAppendLockWaitMs = 500;  // a lock held longer (by anyone) is not waited for: write anyway
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

// Holds the append lock of a file for one write, when it can be had in time.
class CAppendLock {
public:
    explicit CAppendLock(HANDLE file) : m_file(file) {
        const DWORD start = ::GetTickCount();
        for (DWORD tries = 0;; ++tries) {
            OVERLAPPED at = Sentinel();
            if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
                m_locked = true;
                return;
            }
            if (::GetLastError() != ERROR_LOCK_VIOLATION || ::GetTickCount() - start >= kAppendLockWaitMs) return;
            ::Sleep(tries < 8 ? 0 : 1);  // another process is appending: a few microseconds, usually
        }
    }
    ~CAppendLock() {
        OVERLAPPED at = Sentinel();
        if (m_locked) ::UnlockFileEx(m_file, 0, 1, 0, &at);
    }
    CAppendLock(const CAppendLock&) = delete;
    CAppendLock& operator=(const CAppendLock&) = delete;

private:
    static OVERLAPPED Sentinel() {
        OVERLAPPED at = {};
        at.OffsetHigh = kAppendLockOffsetHigh;
        return at;
    }
    HANDLE m_file;
    bool m_locked = false;
};

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
    // Everything queued reaches the file before it is closed.
    StopTransfer(0);
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    FlushBatch();
    CloseFile();
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
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    // Unsigned tick difference: safe across the 49.7-day wrap-around.
    if (m_file.is_valid() && ::GetTickCount() - m_lastWriteTick > idleMs) CloseFile();
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

uint32_t CZkLoggerBuffer::Push(const void* data, uint64_t size) { return Queue(data, size, false); }

uint32_t CZkLoggerBuffer::Queue(const void* data, uint64_t size, bool wake) {
    const uint32_t queued = PushBlock(data, size, wake);
    if (queued) ::InterlockedIncrement64(&m_pushed);
    return queued;
}

LONG64 CZkLoggerBuffer::QueueThrough(const void* data, uint64_t size) {
    // The writer is woken: the caller waits for it.
    if (!m_async || !Queue(data, size, true)) {
        Process(static_cast<const uint8_t*>(data), size, 1);
        return 0;
    }
    // Pushes are serialised by the caller's lock, so the count after this push
    // is this run's place in the queue.
    const LONG64 ticket = ::InterlockedCompareExchange64(&m_pushed, 0, 0);
    // The highest ticket awaited: the writer writes its batch out as soon as that run is in it.
    for (LONG64 seen = ::InterlockedCompareExchange64(&m_awaited, 0, 0); seen < ticket;) {
        const LONG64 before = ::InterlockedCompareExchange64(&m_awaited, ticket, seen);
        if (before == seen) break;
        seen = before;
    }
    return ticket;
}

void CZkLoggerBuffer::AwaitThrough(LONG64 ticket) {
    if (ticket == 0) return;
    const DWORD start = ::GetTickCount();
    lumlib::__auto_locker lock(m_waitLock.get());
    lock.Lock();
    // Counted before the check: a writer that sees no waiter has counted its runs before it looked.
    ::InterlockedIncrement(&m_waiters);
    while (::InterlockedCompareExchange64(&m_processed, 0, 0) < ticket) {
        const DWORD waited = ::GetTickCount() - start;
        if (waited >= kWriteThroughWaitMs) break;  // a stalled disk must not stall the caller for ever
        ::SleepConditionVariableCS(&m_processedChanged, m_waitLock.get(), kWriteThroughWaitMs - waited);
    }
    ::InterlockedDecrement(&m_waiters);
}

uint32_t CZkLoggerBuffer::Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    // Runs that follow one another in the queue go out as one append: the
    // lock, size check and write are paid once per batch, not once per line.
    if (data && size) {
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
    if (::InterlockedCompareExchange(&m_waiters, 0, 0) > 0) {
        // A waiter between its check and its sleep holds the wait lock: passing through it
        // first means the wake-up cannot fall between the two.
        lumlib::__auto_locker waiting(m_waitLock.get());
        waiting.Lock();
        waiting.Unlock();
        ::WakeAllConditionVariable(&m_processedChanged);
    }
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
        }
        if (!CheckRotation(size, runs)) return;  // dropped: over the hard limit, or no current file
        if (AppendRun(data, size)) return;
    }
}

bool CZkLoggerBuffer::AppendRun(const void* data, uint64_t size) {
    if (!m_file.is_valid()) return false;
    // dropped runs are reported in the first file after them, not in the full one
    const std::wstring notice = m_droppedRuns && m_noticeDue ? DroppedNotice() : std::wstring();
    const void* out = data;
    uint64_t outSize = size;
    if (m_headerPending || !notice.empty()) {
        // header, the notice of dropped runs, then the run: one append, so no
        // other process's line can fall between them
        const uint64_t headerBytes = m_headerPending ? m_header.size() * sizeof(wchar_t) : 0;
        const uint64_t noticeBytes = notice.size() * sizeof(wchar_t);
        outSize = headerBytes + noticeBytes + size;
        if (!m_joined.Grow(outSize)) return false;
        memcpy(m_joined.get(), m_header.data(), headerBytes);
        memcpy(m_joined.get() + headerBytes, notice.data(), noticeBytes);
        if (size) memcpy(m_joined.get() + headerBytes + noticeBytes, data, size);
        out = m_joined.get();
    }
    if (outSize > MAXDWORD) return false;  // one append or none
    DWORD written = 0;
    if (outSize > 0) {
        CAppendLock appending(m_file.get());
        if (!::WriteFile(m_file.get(), out, static_cast<DWORD>(outSize), &written, nullptr) || written != outSize)
            return false;
    }
    m_headerPending = 0;
    if (!notice.empty()) m_droppedRuns = 0;
    m_lastWriteTick = ::GetTickCount();
    return true;
}

std::wstring CZkLoggerBuffer::DroppedNotice() const {
    wchar_t prefix[kLogLineChars] = L"";
    if (m_logger) m_logger->FormatPrefix(prefix, L"ERROR");
    wchar_t message[kLogLineChars];
    _snwprintf_s(message, kLogLineChars, _TRUNCATE,
                 L"sndapi: CZkLoggerBuffer::Process: (%u): the log could not be rotated; %u lines were dropped "
                 L"while it was over %u times its size limit.",
                 __LINE__, m_droppedRuns, kHardLimitFactor);
    return std::wstring(prefix) + message + kLineEnd;
}

bool CZkLoggerBuffer::IsStillCurrent() {
    FileId open, named;
    if (!GetFileId(m_file.get(), &open)) return true;  // cannot tell: keep the handle
    CHandleHolder byName(::CreateFileW(m_fileName.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return byName.is_valid() && GetFileId(byName.get(), &named) && open == named;
}

bool CZkLoggerBuffer::CheckRotation(uint64_t runSize, uint32_t runs) {
    LARGE_INTEGER li;
    if (!::GetFileSizeEx(m_file.get(), &li)) return true;
    uint64_t size = static_cast<uint64_t>(li.QuadPart);
    const uint64_t limit = static_cast<uint32_t>(::InterlockedCompareExchange(&m_maxFileSize, 0, 0));
    if (size == 0 || size <= limit) return true;

    const uint64_t hardLimit = limit * kHardLimitFactor;
    const DWORD now = ::GetTickCount();
    const bool retryDue = !m_rotationFailed || now - m_rotationFailTick >= kRotationRetryMs;
    if (!retryDue && size + runSize <= hardLimit) return true;  // rotation failed a moment ago: append meanwhile

    // Another process may have rotated the file away under this handle: then
    // the current name is a new file, and nothing needs rotating here.
    if (!IsStillCurrent()) {
        CloseFile();
        m_rotationIndex = kRotationUndetermined;  // the other process moved the numbers on
        bool created = false;
        if (!OpenCurrentFile(&created)) return false;
        m_headerPending = created ? 1 : 0;
        m_noticeDue = m_droppedRuns > 0;
        return true;
    }
    if (retryDue) {
        CloseFile();
        const bool rotated = Rotate();
        m_rotationFailed = !rotated;
        if (!rotated) m_rotationFailTick = now;
        bool created = false;
        if (!OpenCurrentFile(&created)) return false;
        // A new file (made here, or just now by another process) starts with the header.
        m_headerPending = created ? 1 : 0;
        m_noticeDue = rotated && m_droppedRuns > 0;
        if (rotated || !::GetFileSizeEx(m_file.get(), &li)) return true;
        size = static_cast<uint64_t>(li.QuadPart);
    }
    if (size + runSize <= hardLimit) return true;
    m_droppedRuns += runs;  // reported by the first line written after a successful rotation
    return false;
}

bool CZkLoggerBuffer::Rotate() {
    const uint32_t files = GetRotationFileNumber();
    for (int attempt = 0; attempt < 2; ++attempt) {
        // A failed rename (another process took the number) scans the folder again.
        if (attempt == 1 || m_rotationIndex >= files) m_rotationIndex = CompactNumberedFiles();
        if (m_rotationIndex >= files) break;  // no room: the old numbered files could not be removed
        if (IsDirectoryJunction()) break;
        const uint32_t target = m_rotationIndex + 1;
        if (RenameOpenFile(m_fileName, NumberedFileName(target))) {
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
