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
// How long, and how many times in a row, one append may find the file full
// and see it rotated (by this process or another) before it goes into the file
// at hand: with a backlog, the others can fill each new file before this one
// gets its turn (a loaded machine has seen 16 in a row), and a file passes its
// limit by more than one append only when this one gives up.
const DWORD kFollowMs = 2000;
const int kRotationRounds = 128;
const wchar_t kLineEnd[] = L"\r\n";
// Why runs were dropped, as the notice that counts them says.
const wchar_t kWhyRefused[] = L"the log folder was refused or could not be checked";
const wchar_t kWhyFailed[] = L"the log file could not be opened or written";
const wchar_t kWhyHardLimit[] = L"the log could not be rotated, and the file was over 2 times its size limit";

// The clock fields a line prefix starts with, in their order ('d' a digit, 's' a sign).
const wchar_t* const kClockFields[] = {L"dddd.dd.dd ", L"dd:dd:dd.ddd ", L"(sdd:dd) "};
const size_t kClockFieldCount = sizeof(kClockFields) / sizeof(kClockFields[0]);
const size_t kClockChars = 40;  // all three, and more

// The open file's size; false (and *size left alone) when it cannot be had.
bool FileSizeOf(HANDLE file, uint64_t* size) {
    LARGE_INTEGER li;
    if (!::GetFileSizeEx(file, &li)) return false;
    *size = static_cast<uint64_t>(li.QuadPart);
    return true;
}

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

// The three clock fields of now, as a line prefix has them; their length.
size_t ClockNow(wchar_t (&text)[kClockChars]) {
    SYSTEMTIME local = {}, utc = {};
    ::GetLocalTime(&local);
    ::GetSystemTime(&utc);
    text[0] = L'\0';
    const int chars = _snwprintf_s(text, kClockChars, _TRUNCATE, L"%04u.%02u.%02u %02u:%02u:%02u.%03u ", local.wYear,
                                   local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds);
    if (chars > 0) FormatUtcOffset(text + chars, kClockChars - chars, utc, local);
    return wcslen(text);
}

}  // namespace

bool CZkLoggerBuffer::WriteRuns(const void* data, uint64_t size, uint32_t runs) {
    // No memory on the way (a folder's name, a lead): what is not in the file
    // is counted here, not the whole batch by the writer's error boundary.
    try {
        return TryWriteRuns(data, size, &runs);
    } catch (...) {
        CountLost(runs, kWhyNoMemory);
        return false;
    }
}

bool CZkLoggerBuffer::TryWriteRuns(const void* data, uint64_t size, uint32_t* left) {
    uint32_t& runs = *left;
    const DWORD start = ::GetTickCount();
    const wchar_t* why = kWhyFailed;
    bool deniedForGood = false;
    for (int attempt = 0;; ++attempt) {
        if (attempt == 1) {
            // The file may have gone bad or its folder may be missing: start over.
            CloseFile();
            m_guard.Release();
            const size_t slash = m_basePath.find_last_of(L'\\');
            if (slash != std::wstring::npos) CreateLogFolder(m_basePath.substr(0, slash).c_str());
        }
        const Prepared prepared = PrepareFile();
        if (prepared == Prepared::kRefused) {
            // no open was tried: a denial of an earlier batch says nothing now
            m_openDenied = false;
            why = kWhyRefused;
            break;
        }
        if (prepared == Prepared::kReady) {
            uint64_t kept = 0;
            const Appended appended = AppendChecked(data, size, runs, &kept);
            if (appended != Appended::kFailed) return appended == Appended::kWritten;  // or dropped and counted
            // Lines a cut that could not be undone left whole are not written
            // twice, nor counted as lost when the retry fails too.
            runs -= std::min(runs, LinesIn(data, kept));
            data = static_cast<const uint8_t*>(data) + kept;
            size -= kept;
        }
        if (attempt == 0) continue;
        // A delete-pending name is denied until its last handle closes, which
        // every writer's reopen brings about within a second, and a reader's
        // open that shares no writing usually ends as quickly: the runs wait.
        if (!m_openDenied || IsDrainOver()) break;
        if (::GetTickCount() - start >= kDeniedWaitMs) {
            deniedForGood = true;
            break;
        }
        ::Sleep(kDeniedRetryMs);
    }
    // Denied for this whole call: not asked again for every batch. Only then:
    // the hold must end, and the open after it be tried again.
    if (deniedForGood) m_guard.Hold();
    CountLost(runs, why);
    runs = 0;
    return false;
}

void CZkLoggerBuffer::CountLost(uint32_t runs, const wchar_t* why) {
    if (runs == 0) return;  // a notice of the writer's own
    if (m_droppedRuns == 0) m_droppedWhy = why;
    m_droppedRuns += runs;
}

CZkLoggerBuffer::Prepared CZkLoggerBuffer::PrepareFile() {
    if (!m_file.is_valid()) {
        if (m_guard.IsDirectoryJunction() || m_guard.IsRefused()) return Prepared::kRefused;
        bool created = false;
        if (!OpenCurrentFile(&created)) return Prepared::kRetry;
        m_headerPending = created;
        return Prepared::kReady;
    }
    // Closed and opened again by name at least once a second while writing: a
    // file deleted or renamed away under the handle is left for a new one.
    // Only a new open sees every deletion: the name gone, the name denied
    // (delete pending), or another file under it; Wine shows none on the handle.
    if (::GetTickCount() - m_currentCheckTick < kCurrentCheckMs) return Prepared::kReady;
    return ReopenCurrent() ? Prepared::kReady : Prepared::kRetry;
}

uint64_t CZkLoggerBuffer::AppendProgress(void* self) {
    const CZkLoggerBuffer* buffer = static_cast<CZkLoggerBuffer*>(self);
    if (buffer->IsDrainOver()) return logfile::kGiveUp;  // the stop's time is up
    uint64_t size = 0;
    FileSizeOf(buffer->m_file.get(), &size);
    return size;
}

uint64_t CZkLoggerBuffer::RotationProgress(void* self) {
    CZkLoggerBuffer* buffer = static_cast<CZkLoggerBuffer*>(self);
    const uint64_t size = AppendProgress(self);
    const DWORD now = ::GetTickCount();
    if (size == logfile::kGiveUp || now - buffer->m_nameCheckTick < kNameCheckMs) return size;
    buffer->m_nameCheckTick = now;
    return buffer->IsStillCurrent() ? size : logfile::kGiveUp;  // rotated by the holder: follow it
}

CZkLoggerBuffer::Appended CZkLoggerBuffer::AppendChecked(const void* data, uint64_t size, uint32_t runs, uint64_t* kept) {
    const DWORD start = ::GetTickCount();
    for (int round = 0;; ++round) {
        if (!m_file.is_valid()) return Appended::kFailed;
        // A stop whose time is up writes into the file it has rather than rotate or follow again.
        const bool followedEnough =
            round >= kRotationRounds || (round > 0 && ::GetTickCount() - start >= kFollowMs) || IsDrainOver();
        {
            logfile::CByteLock appending(m_file.get(), logfile::LockByte::kAppend, &m_appendLockSkipTick,
                                         &CZkLoggerBuffer::AppendProgress, this);
            // The stop's time ran out while another process appends: its line
            // could break under an append without the byte, so these are
            // counted as the stop's drops instead (only a holder without progress is gone around).
            if (appending.gaveUp()) {
                m_drainDropped += runs;
                return Appended::kDropped;
            }
            // The size under the append lock: no other append falls between the check and this one,
            // so a file passes its limit by one append at most, and a failed append is undone to it.
            uint64_t fileSize = m_sizeSeen;
            const bool sized = FileSizeOf(m_file.get(), &fileSize);
            const uint64_t limit = m_maxFileSize.load();
            // Rotation failed a moment ago: append meanwhile, up to the hard limit,
            // unless another process has rotated the file since (its new one is followed).
            const bool retryDue = !m_rotationFailed || ::GetTickCount() - m_rotationFailTick >= kRotationRetryMs ||
                                  (fileSize > limit && !IsStillCurrent());
            if (fileSize <= limit || !retryDue || followedEnough) {
                if (fileSize > limit && fileSize + size > limit * kHardLimitFactor) {
                    CountLost(runs, kWhyHardLimit);  // reported by the first line written after a rotation
                    return Appended::kDropped;
                }
                if (!AppendRun(data, size, sized ? fileSize : kUnknownSize, appending.held(), kept)) return Appended::kFailed;
                m_sizeSeen = fileSize + size;
                return Appended::kWritten;
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
    wchar_t now[kClockChars];
    const size_t nowChars = ClockNow(now);
    // every line of the header (the system, then the library and its host)
    size_t start = header.find_first_not_of(kLineEnd);
    while (start < header.size()) {
        TakeClockFields(header, start, now, nowChars);
        TakeClockFields(header, start, first, firstChars);
        start = header.find_first_not_of(kLineEnd, header.find(kLineEnd, start));
    }
    TakeClockFields(*notice, 0, first, firstChars);
    return header;
}

bool CZkLoggerBuffer::JoinRun(const std::string& lineEnd, const std::wstring& lead, const void* data, uint64_t size) {
    // one append, so no other process's line can fall between them
    const uint64_t leadBytes = lead.size() * sizeof(wchar_t);
    if (!m_joined.Grow(lineEnd.size() + leadBytes + size)) return false;
    uint8_t* at = m_joined.get();
    memcpy(at, lineEnd.data(), lineEnd.size());
    memcpy(at += lineEnd.size(), lead.data(), leadBytes);
    if (size) memcpy(at + leadBytes, data, size);
    return true;
}

bool CZkLoggerBuffer::AppendRun(const void* data, uint64_t size, uint64_t fileSize, bool locked, uint64_t* kept) {
    if (!m_file.is_valid()) return false;
    const std::string lineEnd = LineEndAfterFragment(fileSize);
    // dropped runs are reported by the first append that succeeds after them
    std::wstring notice = m_droppedRuns ? DroppedNotice() : std::wstring();
    const std::wstring header = TimedHeader(data, size, &notice);
    // Lines before the run: a new file's header first, then what a cut left of
    // an earlier lead (less its part of the header, when this file gets one whole).
    if (!header.empty()) {
        m_cutLead.erase(0, m_cutHeaderChars);
        m_cutHeaderChars = 0;
    }
    const size_t headerChars = header.empty() ? m_cutHeaderChars : header.size();
    const std::wstring lead = header + m_cutLead + notice;
    const void* out = data;
    uint64_t outSize = size;
    if (!lineEnd.empty() || !lead.empty()) {
        if (!JoinRun(lineEnd, lead, data, size)) return false;
        outSize += lineEnd.size() + lead.size() * sizeof(wchar_t);
        out = m_joined.get();
    }
    if (outSize > MAXDWORD) return false;  // one append or none
    DWORD written = 0;
    if (outSize > 0 && (!m_writeFile(m_writeFileContext, m_file.get(), out, static_cast<DWORD>(outSize), &written) ||
                        written != outSize)) {
        // Undone under the append lock, before anyone appends after it: the
        // file is as it was (with any earlier fragment of this writer's). Not
        // when it grew by more than this write: a writer that went around a
        // stalled lock appended meanwhile, and its lines stay.
        const bool undone = locked && fileSize != kUnknownSize && IsSize(fileSize + written) && RollBack(fileSize);
        if (!undone) m_fragmentPossible = true;  // even a write that reports nothing written may have left bytes
        const uint64_t in = undone || written <= lineEnd.size() ? 0 : written - lineEnd.size();
        *kept = ResumeAfterCut(static_cast<const uint8_t*>(out) + lineEnd.size(), in, outSize - lineEnd.size(), lead,
                               headerChars, notice.size());
        return false;
    }
    m_fragmentPossible = false;
    m_headerPending = false;
    m_cutLead.clear();
    m_cutHeaderChars = 0;
    if (!notice.empty()) m_droppedRuns = 0;
    m_lastWriteTick = ::GetTickCount();
    return true;
}

uint64_t CZkLoggerBuffer::ResumeAfterCut(const uint8_t* text, uint64_t in, uint64_t total, const std::wstring& lead,
                                         size_t headerChars, size_t noticeChars) {
    // the end of the last line the cut left whole ("\r\n" in UTF-16LE, at a character boundary)
    const uint64_t cut = in & ~uint64_t(1);
    uint64_t whole = cut;
    while (whole >= 4 && memcmp(text + whole - 4, "\r\0\n\0", 4) != 0) whole -= 2;
    // Cut between a line's "\r" and its "\n": the line is there but for the
    // "\n", which the next append's line end supplies (not the line again).
    if (cut >= 2 && cut + 2 <= total && memcmp(text + cut - 2, "\r\0\n\0", 4) == 0) whole = cut + 2;
    // The header and the notice are lines like the run's: those not whole in
    // the file stay due, whatever file the retry opens (a reopen finds the
    // file there, and would not write its header; a new file gets it whole).
    m_headerPending = false;
    if (whole < 4) {
        // None whole (undone, or cut inside the first line): the notice stays a
        // count, told once with the drops to come, so that what waits does not
        // grow by a notice with every write that fails.
        m_cutLead = lead.substr(0, lead.size() - noticeChars);
        m_cutHeaderChars = headerChars;
        return 0;
    }
    const uint64_t leadBytes = lead.size() * sizeof(wchar_t);
    const size_t wholeLeadChars = static_cast<size_t>(std::min(whole, leadBytes) / sizeof(wchar_t));
    m_cutLead = lead.substr(wholeLeadChars);
    m_cutHeaderChars = headerChars > wholeLeadChars ? headerChars - wholeLeadChars : 0;
    m_droppedRuns = 0;  // its notice is in the file, or in m_cutLead
    return whole > leadBytes ? whole - leadBytes : 0;
}

uint32_t CZkLoggerBuffer::LinesIn(const void* data, uint64_t size) {
    // a run is one line: escaping leaves no line end inside it
    const uint8_t* text = static_cast<const uint8_t*>(data);
    uint32_t lines = 0;
    for (uint64_t at = 0; at + 4 <= size; at += 2)
        if (memcmp(text + at, "\r\0\n\0", 4) == 0) ++lines;
    return lines;
}

bool CZkLoggerBuffer::IsSize(uint64_t size) const {
    uint64_t now = 0;
    return FileSizeOf(m_file.get(), &now) && now == size;
}

bool CZkLoggerBuffer::RollBack(uint64_t size) {
    // The handle only appends; the end is set through a second handle that may write.
    CHandleHolder writable(::ReOpenFile(m_file.get(), FILE_WRITE_DATA, logfile::kShareAll, 0));
    FILE_END_OF_FILE_INFO end = {};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return writable.is_valid() &&
           ::SetFileInformationByHandle(writable.get(), FileEndOfFileInfo, &end, sizeof(end)) != FALSE;
}

std::string CZkLoggerBuffer::LineEndAfterFragment(uint64_t fileSize) {
    // An odd size is a character cut by a writer of any process: a byte
    // completes it, so that what follows is aligned again, and a line end.
    if (fileSize != kUnknownSize && fileSize % 2 != 0) return std::string("\0\r\0\n\0", 5);
    // An even end is read only after a cut of this writer's: no call on the normal path.
    if (!m_fragmentPossible || fileSize == 0) return std::string();
    // The file's last character. Not had (the size unknown): a line end, at
    // worst an empty line, never this run joined to a fragment.
    wchar_t last = 0;
    DWORD got = 0;
    OVERLAPPED at = {};  // reads leave the appends alone
    at.Offset = static_cast<DWORD>(fileSize - 2);
    at.OffsetHigh = static_cast<DWORD>((fileSize - 2) >> 32);
    if (fileSize == kUnknownSize || !::ReadFile(m_file.get(), &last, sizeof(last), &got, &at) || got != sizeof(last))
        last = 0;
    if (last == L'\n') return std::string();
    if (last == L'\r') return std::string("\n\0", 2);  // a cut between a line's two ends
    return std::string("\r\0\n\0", 4);
}

std::wstring CZkLoggerBuffer::DroppedNotice() const {
    wchar_t message[kLogLineChars];
    _snwprintf_s(message, kLogLineChars, _TRUNCATE, L"sndapi: CZkLoggerBuffer::WriteRuns: (%u): %u lines were dropped: %s.",
                 __LINE__, m_droppedRuns, m_droppedWhy);
    return ErrorLine(message);
}

bool CZkLoggerBuffer::OpenCurrentFile(bool* created) {
    HANDLE h = m_openFile(m_openFileContext, m_fileName.c_str(), kAppendAccess, &m_securityAttributes);
    const DWORD error = ::GetLastError();
    // denied: a delete-pending file still holds the name (legacy semantics),
    // or a reader opened it between two of the writer's opens without
    // sharing it for writing: both pass, and the runs wait a while for that
    m_openDenied = h == INVALID_HANDLE_VALUE &&
                   (error == ERROR_ACCESS_DENIED || error == ERROR_DELETE_PENDING || error == ERROR_SHARING_VIOLATION);
    if (h == INVALID_HANDLE_VALUE) return false;
    // A file this writer made and then left unwritten still owes its header.
    *created = error != ERROR_ALREADY_EXISTS || m_madeUnwritten;
    m_file.reset(h);
    m_sizeSeen = 0;
    FileSizeOf(m_file.get(), &m_sizeSeen);
    m_currentCheckTick = ::GetTickCount();
    bool unread = false;
    if (m_guard.IsOpenFileAcceptable(m_file.get(), m_fileName, &unread)) {
        m_madeUnwritten = false;
        // An open file is closed once idle, whether or not a write follows.
        if (!m_idleArmed.exchange(true)) ArmIdleTimer(kIdleCloseMs);
        return true;
    }
    m_madeUnwritten = *created;
    CloseFile();
    // Looked at again after the hold, like a junction; soon when only a query failed.
    m_guard.Hold(unread ? CLogFolderGuard::kRecheckMs : CLogFolderGuard::kHoldMs);
    return false;
}

HANDLE CZkLoggerBuffer::OpenFileLive(void*, const wchar_t* name, DWORD access, SECURITY_ATTRIBUTES* sa) {
    // The name itself: a link or junction left there is opened as what it is, and refused.
    return ::CreateFileW(name, access, logfile::kShareAll, sa, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

void CZkLoggerBuffer::CloseFile() { m_file.reset(); }

bool CZkLoggerBuffer::ReopenCurrent() {
    logfile::FileId before, after;
    const bool known = m_file.is_valid() && logfile::GetFileId(m_file.get(), &before);
    CloseFile();
    bool created = false;
    if (m_guard.IsDirectoryJunction() || m_guard.IsRefused() || !OpenCurrentFile(&created)) return false;
    const bool same = known && logfile::GetFileId(m_file.get(), &after) && after == before;
    if (!same) m_rotationIndex = kRotationUndetermined;  // another file: the numbers may have moved on
    // A new file (made here, or just now by another process) starts with the header.
    if (created || !same) m_headerPending = created;
    return true;
}

bool CZkLoggerBuffer::IsStillCurrent() {
    logfile::FileId open, named;
    if (!logfile::GetFileId(m_file.get(), &open)) return true;  // cannot tell: keep the handle
    CHandleHolder byName(::CreateFileW(m_fileName.c_str(), FILE_READ_ATTRIBUTES, logfile::kShareAll, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    // A name that cannot be opened for another reason than its absence (shared
    // differently for a moment, denied): cannot tell, keep the handle. The
    // reopen of every second decides.
    if (!byName.is_valid()) return ::GetLastError() != ERROR_FILE_NOT_FOUND;
    return !logfile::GetFileId(byName.get(), &named) || open == named;
}
