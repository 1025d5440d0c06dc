// The writer's appends: the current file opened, checked and replaced when it
// was taken away, each run appended whole under the append lock with what is
// due before it (a line end after a fragment, the header, a notice).
#include <algorithm>
#include <cstring>

#include "log/LogFileOps.h"
#include "log/ZkLoggerBuffer.h"

namespace {

// Appends only (no seek, the system puts each write at the end in one piece).
// FILE_READ_DATA: byte-range locks need read or write data access.
const DWORD kAppendAccess = FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// How many times in a row one append may find the file full and see it
// rotated (by this process or another) before it goes into the file at hand:
// with a backlog, the others can fill each new file before this one gets to it.
const int kRotationRounds = 16;
const wchar_t kLineEnd[] = L"\r\n";

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
    if (chars > 0) FormatUtcOffset(text + chars, kClockChars - chars, utc, local);
    return text;
}

}  // namespace

void CZkLoggerBuffer::WriteRuns(const void* data, uint64_t size, uint32_t runs) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1) {
            // The file may have gone bad or its folder may be missing: start over.
            CloseFile();
            m_guard.Release();
            const size_t slash = m_basePath.find_last_of(L'\\');
            if (slash != std::wstring::npos) CreateLogFolder(m_basePath.substr(0, slash).c_str());
        }
        const Prepared prepared = PrepareFile();
        if (prepared == Prepared::kRefused) return;  // dropped
        if (prepared == Prepared::kRetry) continue;
        if (AppendChecked(data, size, runs) != Appended::kFailed) return;
    }
}

CZkLoggerBuffer::Prepared CZkLoggerBuffer::PrepareFile() {
    if (!m_file.is_valid()) {
        if (m_guard.IsJunction() || m_guard.IsRefused()) return Prepared::kRefused;
        bool created = false;
        if (!OpenCurrentFile(&created)) return Prepared::kRetry;
        m_headerPending = created;
        return Prepared::kReady;
    }
    if (::GetTickCount() - m_currentCheckTick < kCurrentCheckMs) return Prepared::kReady;
    // A file deleted or renamed away under the handle: what is written to it
    // would be lost, or land in some other file.
    m_currentCheckTick = ::GetTickCount();
    if (IsStillCurrent()) return Prepared::kReady;
    m_rotationIndex = kRotationUndetermined;
    return ReopenCurrent() ? Prepared::kReady : Prepared::kRetry;
}

CZkLoggerBuffer::Appended CZkLoggerBuffer::AppendChecked(const void* data, uint64_t size, uint32_t runs) {
    for (int round = 0;; ++round) {
        if (!m_file.is_valid()) return Appended::kFailed;
        {
            logfile::CByteLock appending(m_file.get(), logfile::LockByte::kAppend, kAppendLockWaitMs,
                                         &m_appendLockSkipTick);
            // The size under the append lock: no other append falls between the check and this one,
            // so a file passes its limit by one append at most.
            LARGE_INTEGER li;
            const uint64_t fileSize = ::GetFileSizeEx(m_file.get(), &li) ? static_cast<uint64_t>(li.QuadPart) : 0;
            const uint64_t limit = m_maxFileSize.load();
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

std::wstring CZkLoggerBuffer::TimedHeader(const void* data, uint64_t size, std::wstring* notice) const {
    std::wstring header = m_headerPending ? m_header : std::wstring();
    if (header.empty() && notice->empty()) return header;
    // The header and the notice carry the time of the line after them (of
    // now, when it has none): time never goes back across files.
    wchar_t first[kClockChars];
    const size_t firstChars = std::min<uint64_t>(size / sizeof(wchar_t), kClockChars);
    if (firstChars) memcpy(first, data, firstChars * sizeof(wchar_t));
    const std::wstring now = ClockNow();
    // every line of the header (the system, then the library and its host)
    size_t start = header.find_first_not_of(kLineEnd);
    while (start < header.size()) {
        TakeClockFields(header, start, now.data(), now.size());
        TakeClockFields(header, start, first, firstChars);
        start = header.find_first_not_of(kLineEnd, header.find(kLineEnd, start));
    }
    TakeClockFields(*notice, 0, first, firstChars);
    return header;
}

bool CZkLoggerBuffer::JoinRun(const std::string& lineEnd, const std::wstring& header, const std::wstring& notice,
                              const void* data, uint64_t size) {
    // one append, so no other process's line can fall between them
    const uint64_t headerBytes = header.size() * sizeof(wchar_t);
    const uint64_t noticeBytes = notice.size() * sizeof(wchar_t);
    if (!m_joined.Grow(lineEnd.size() + headerBytes + noticeBytes + size)) return false;
    uint8_t* at = m_joined.get();
    memcpy(at, lineEnd.data(), lineEnd.size());
    memcpy(at += lineEnd.size(), header.data(), headerBytes);
    memcpy(at += headerBytes, notice.data(), noticeBytes);
    if (size) memcpy(at + noticeBytes, data, size);
    return true;
}

bool CZkLoggerBuffer::AppendRun(const void* data, uint64_t size) {
    if (!m_file.is_valid()) return false;
    const std::string lineEnd = m_fragmentPossible ? LineEndAfterFragment() : std::string();
    // dropped runs are reported in the first file after them, not in the full one
    std::wstring notice = m_droppedRuns && m_noticeDue ? DroppedNotice() : std::wstring();
    const std::wstring header = TimedHeader(data, size, &notice);
    const void* out = data;
    uint64_t outSize = size;
    if (!lineEnd.empty() || !header.empty() || !notice.empty()) {
        if (!JoinRun(lineEnd, header, notice, data, size)) return false;
        outSize += lineEnd.size() + (header.size() + notice.size()) * sizeof(wchar_t);
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
    m_headerPending = false;
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

std::wstring CZkLoggerBuffer::DroppedNotice() const {
    wchar_t message[kLogLineChars];
    _snwprintf_s(message, kLogLineChars, _TRUNCATE,
                 L"sndapi: CZkLoggerBuffer::Process: (%u): the log could not be rotated; %u lines were dropped "
                 L"while it was over %u times its size limit.",
                 __LINE__, m_droppedRuns, kHardLimitFactor);
    return ErrorLine(message);
}

bool CZkLoggerBuffer::OpenCurrentFile(bool* created) {
    // The name itself: a link or junction left there is opened as what it is, and refused.
    HANDLE h = ::CreateFileW(m_fileName.c_str(), kAppendAccess, logfile::kShareAll, &m_securityAttributes, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    *created = ::GetLastError() != ERROR_ALREADY_EXISTS;
    m_file.reset(h);
    m_currentCheckTick = ::GetTickCount();
    if (m_guard.IsOpenFileAcceptable(m_file.get(), m_fileName)) {
        // An open file is closed once idle, whether or not a write follows.
        if (!m_idleArmed.exchange(true)) ArmIdleTimer(kIdleCloseMs);
        return true;
    }
    CloseFile();
    m_guard.Hold();  // looked at again after the hold, like a junction
    return false;
}

void CZkLoggerBuffer::CloseFile() { m_file.reset(); }

bool CZkLoggerBuffer::ReopenCurrent() {
    CloseFile();
    bool created = false;
    if (m_guard.IsJunction() || m_guard.IsRefused() || !OpenCurrentFile(&created)) return false;
    // A new file (made here, or just now by another process) starts with the header.
    m_headerPending = created;
    m_noticeDue = m_droppedRuns > 0;
    return true;
}

bool CZkLoggerBuffer::IsStillCurrent() {
    logfile::FileId open, named;
    if (!logfile::GetFileId(m_file.get(), &open)) return true;  // cannot tell: keep the handle
    CHandleHolder byName(::CreateFileW(m_fileName.c_str(), FILE_READ_ATTRIBUTES, logfile::kShareAll, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return byName.is_valid() && logfile::GetFileId(byName.get(), &named) && open == named;
}
