#include "log/ZkLoggerBuffer.h"

#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "log/ZkLogger.h"

namespace {

// Existence and size of a file by name, without opening it.
bool QueryFileSize(const std::wstring& name, uint64_t* size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) return false;
    if (size) *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool FileExists(const std::wstring& name) { return QueryFileSize(name, nullptr); }

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

}  // namespace

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
      m_writeCounter(0),
      m_rotationFileNumber(static_cast<LONG>(rotationFileNumber ? rotationFileNumber : 1)),
      m_header(header ? header : L""),
      m_junctionHoldTick(0),
      m_queryReparse(&CZkLoggerBuffer::QueryReparseLive),
      m_queryReparseContext(nullptr) {
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
    {
        lumlib::__auto_locker lock(m_lock.get());
        lock.Lock();
        CloseFile();
    }
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

bool CZkLoggerBuffer::OpenCurrentFile(DWORD disposition, bool* existed) {
    HANDLE h = ::CreateFileW(m_fileName.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &m_securityAttributes, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    if (existed) *existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    m_file.reset(h);
    return true;
}

uint32_t CZkLoggerBuffer::Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) {
    if (!data && size) return 1;  // nothing readable to write

    for (int attempt = 0; attempt < 2; ++attempt) {
        {
            lumlib::__auto_locker lock(m_lock.get());
            lock.Lock();

            if (attempt == 1) {
                // The file may have gone bad or its folder may be missing: start over.
                CloseFile();
                m_junctionHoldTick = 0;
                size_t slash = m_basePath.find_last_of(L'\\');
                if (slash != std::wstring::npos)
                    ::SHCreateDirectoryExW(nullptr, m_basePath.substr(0, slash).c_str(), nullptr);
            }

            if (!m_file.is_valid()) {
                m_headerPending = FileExists(m_fileName) ? 0 : 1;
                if (IsDirectoryJunction()) return 1;
                bool existed = false;
                if (!OpenCurrentFile(OPEN_ALWAYS, &existed)) continue;
                if (!existed) m_headerPending = 1;
            }

            if (!SeekToEnd()) return 1;

            if (m_writeCounter == 0 && !CheckRotation()) return 1;
            if (++m_writeCounter >= kSizeCheckInterval) m_writeCounter = 0;
        }

        // Written outside the lock: WriteAll takes it per part, so an idle close
        // in between makes the write fail and the second attempt reopen the file.
        if (m_headerPending) {
            if (!WriteAll(m_header.data(), static_cast<uint64_t>(m_header.size()) * sizeof(wchar_t)))
                continue;
            m_headerPending = 0;
        }
        if (WriteAll(data, size)) return 1;
    }
    return 1;
}

bool CZkLoggerBuffer::SeekToEnd() {
    // The high part lets a current file above 4 GB be positioned (and then
    // rotated); a low part of 0xFFFFFFFF is only a failure with an error set.
    LONG high = 0;
    ::SetLastError(NO_ERROR);
    return ::SetFilePointer(m_file.get(), 0, &high, FILE_END) != INVALID_SET_FILE_POINTER ||
           ::GetLastError() == NO_ERROR;
}

bool CZkLoggerBuffer::WriteAll(const void* data, uint64_t size) {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        if (!m_file.is_valid()) return false;
        DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        // A write that makes no progress would loop for ever: count it as failed.
        if (!::WriteFile(m_file.get(), p, chunk, &written, nullptr) || written == 0) return false;
        p += written;
        size -= written;
    }
    m_lastWriteTick = ::GetTickCount();
    return true;
}

bool CZkLoggerBuffer::CheckRotation() {
    uint64_t size = 0;
    if (m_file.is_valid()) {
        LARGE_INTEGER li;
        if (!::GetFileSizeEx(m_file.get(), &li)) return true;
        size = static_cast<uint64_t>(li.QuadPart);
    } else if (!QueryFileSize(m_fileName, &size)) {
        return true;
    }
    const uint32_t maxSize = static_cast<uint32_t>(::InterlockedCompareExchange(&m_maxFileSize, 0, 0));
    if (size == 0 || size <= maxSize) return true;

    CloseFile();
    if (m_rotationIndex >= GetRotationFileNumber()) m_rotationIndex = CompactNumberedFiles();
    ++m_rotationIndex;
    const std::wstring target = NumberedFileName(m_rotationIndex);
    if (IsDirectoryJunction()) return false;

    if (!::MoveFileW(m_fileName.c_str(), target.c_str())) {
        // The same number is tried at the next rotation. The full file keeps its
        // text: a log held open by a viewer must not be wiped, so keep appending.
        --m_rotationIndex;
        bool existed = false;
        if (!OpenCurrentFile(OPEN_ALWAYS, &existed)) return false;
        if (!existed) m_headerPending = 1;
        return SeekToEnd();
    }

    if (!OpenCurrentFile(CREATE_ALWAYS, nullptr)) return false;
    m_headerPending = 1;
    return true;
}

uint32_t CZkLoggerBuffer::CompactNumberedFiles() {
    if (IsDirectoryJunction()) return 0;

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
    if (names.empty()) return 0;

    // The lowest numbers are the oldest, whatever order the file system lists them in.
    std::sort(names.begin(), names.end(), NameLess);

    const std::wstring dir = LogDirectoryWithSlash();
    const uint32_t keep = GetRotationFileNumber();
    size_t first = 0;
    while (names.size() - first >= keep) {
        ::DeleteFileW((dir + names[first]).c_str());
        ++first;
    }
    uint32_t number = 0;
    for (size_t i = first; i < names.size(); ++i) {
        const std::wstring from = dir + names[i];
        const std::wstring to = NumberedFileName(++number);
        if (!SamePath(from, to)) ::MoveFileW(from.c_str(), to.c_str());  // failures ignored
    }
    return number;
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
