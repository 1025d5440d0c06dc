#include "log/ZkLogger.h"

#include <process.h>
#include <stdio.h>
#include <wchar.h>

#include <initializer_list>
#include <memory>
#include <new>

#include "log/LogEscape.h"
#include "log/SystemDescription.h"
#include "log/ZkLoggerBuffer.h"
#include "zk_version.h"

namespace {

const wchar_t kSettingsPath[] = L"Software\\Zelkor\\Tessaline Server\\";
const wchar_t kModuleName[] = L"zksndapi";
// Everyone (every session shares the log) and the file's owner may read,
// write, append and delete (0x13019f: FILE_GENERIC_READ | FILE_GENERIC_WRITE |
// DELETE), but nobody may change the owner or the permissions. Protected: no
// entries inherited from the folder.
const wchar_t kLogFileSddl[] = L"D:P(A;;0x13019f;;;WD)(A;;0x13019f;;;S-1-3-4)";
const wchar_t kBuildStamp[] = L"Build " __DATE__ ". ";
const uint32_t kDefaultMaxFileSize = 52428800;  // 50 MiB
const uint32_t kDefaultRotationFiles = 10;
const uint32_t kDefaultMaxLogFiles = 300;
const size_t kLabelChars = 260;
const DWORD kUserNameChars = 260;

typedef BOOL(WINAPI* GetUserNameWFn)(LPWSTR, LPDWORD);

// Process-wide: GetUserNameW as resolved by the logger, and the message column.
std::atomic<GetUserNameWFn> g_getUserName{nullptr};
std::atomic<uint32_t> g_alignmentWidth{0};

// Formats with truncation at *pos and advances *pos by what was written.
void AppendV(wchar_t* buffer, size_t capacity, size_t* pos, const wchar_t* format, va_list args) {
    if (*pos + 1 >= capacity) return;
    int written = _vsnwprintf_s(buffer + *pos, capacity - *pos, _TRUNCATE, format, args);
    *pos += written >= 0 ? static_cast<size_t>(written) : wcslen(buffer + *pos);
}

void Append(wchar_t* buffer, size_t capacity, size_t* pos, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    AppendV(buffer, capacity, pos, format, args);
    va_end(args);
}

// Formats with truncation into capacity characters; the number kept.
size_t FormatText(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
    size_t pos = 0;
    buffer[0] = L'\0';
    va_list args;
    va_start(args, format);
    AppendV(buffer, capacity, &pos, format, args);
    va_end(args);
    return pos;
}

// Appends value in decimal with at least minDigits digits ("%.Nd", "%u"):
// the prefix is built for every line, and this costs a fraction of a printf.
void AppendNumber(wchar_t* buffer, size_t capacity, size_t* pos, uint32_t value, int minDigits) {
    wchar_t digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n < minDigits && n < 10) digits[n++] = L'0';
    if (*pos + n + 1 > capacity) return;
    while (n > 0) buffer[(*pos)++] = digits[--n];
    buffer[*pos] = L'\0';
}

void AppendChar(wchar_t* buffer, size_t capacity, size_t* pos, wchar_t c) {
    if (*pos + 2 > capacity) return;
    buffer[(*pos)++] = c;
    buffer[*pos] = L'\0';
}

// A number with its minimum digits and the character that follows it.
struct PrefixField {
    uint32_t value;
    int digits;
    wchar_t after;
};

void AppendFields(wchar_t* buffer, size_t capacity, size_t* pos, std::initializer_list<PrefixField> fields) {
    for (const PrefixField& f : fields) {
        AppendNumber(buffer, capacity, pos, f.value, f.digits);
        AppendChar(buffer, capacity, pos, f.after);
    }
}

// Formats a message into kLogLineChars characters. Returns the number of
// characters kept, 0 for an empty or unformattable message; a cut message
// keeps kLogLineChars - 1 characters.
size_t FormatMessageText(wchar_t* message, const wchar_t* format, va_list args) {
    message[0] = L'\0';
    if (!format) return 0;
    int written = _vsnwprintf_s(message, kLogLineChars, _TRUNCATE, format, args);
    if (written >= 0) return static_cast<size_t>(written);
    size_t kept = wcsnlen(message, kLogLineChars);  // cut (or failed with nothing kept)
    // a pair cut in two: its first half goes too
    if (kept > 0 && message[kept - 1] >= 0xD800 && message[kept - 1] <= 0xDBFF) message[--kept] = L'\0';
    return kept;
}

// FNV-1a over the label and the format: lines of one logging statement are of
// one kind, whatever their arguments (a service that varies a number in the
// line it floods must not escape the limit).
uint64_t HashKind(const wchar_t* label, const wchar_t* format) {
    uint64_t hash = 14695981039346656037ull;
    const auto add = [&hash](wchar_t c) { hash = (hash ^ static_cast<uint16_t>(c)) * 1099511628211ull; };
    for (const wchar_t* p = label; p && *p; ++p) add(*p);
    add(L'\0');
    for (const wchar_t* p = format; p && *p; ++p) add(*p);
    return hash;
}

// Keeps the caller's last-error value across the logging call.
class CLastErrorKeeper {
public:
    CLastErrorKeeper() : m_saved(GetLastError()) {}
    ~CLastErrorKeeper() { SetLastError(m_saved); }

private:
    DWORD m_saved;
};

}  // namespace

void LogPrint(IZkLogger* logger, uint32_t level, const wchar_t* format, ...) {
    if (!logger) return;
    va_list args;
    va_start(args, format);
    logger->LogV(level, format, args);
    va_end(args);
}

CZkLogger::CZkLogger(const wchar_t* directory)
    : m_threshold(0),
      m_processId(GetCurrentProcessId()),
      m_sessionId(0xFFFFFFFF),
      m_formatFlags(0),
      m_text(new wchar_t[2 * kLogLineChars + kLogWholeLineChars]),
      m_repeats(),
      m_maxFileSize(kDefaultMaxFileSize),
      m_settingsHive(HKEY_LOCAL_MACHINE),
      m_settingsPath(kSettingsPath),
      m_directory(directory ? directory : L""),
      m_async(1),
      m_rotationFileNumber(kDefaultRotationFiles),
      m_maxLogFiles(kDefaultMaxLogFiles),
      m_nextBufferId(0),
      m_moduleName(kModuleName),
      m_sddl(kLogFileSddl) {
    DWORD session = 0;
    if (ProcessIdToSessionId(m_processId, &session)) m_sessionId = session;
    m_advapi.reset(LoadLibraryW(L"Advapi32"));
    if (m_advapi.is_valid())
        g_getUserName.store(reinterpret_cast<GetUserNameWFn>(
            reinterpret_cast<void*>(GetProcAddress(m_advapi.get(), "GetUserNameW"))));
}

CZkLogger* CZkLogger::New(const wchar_t* directory) {
    try {
        return new (std::nothrow) CZkLogger(directory);
    } catch (...) {
        return nullptr;  // the directory copy could not be allocated
    }
}

CZkLogger::~CZkLogger() {
    // 1. the watcher first: it takes the logger lock for its passes
    m_watcher.Stop();
    // 2. a start still pending is tried once more, now: the lines it counted
    // are reported in the file before the logger goes, not lost unsaid
    {
        const auto lock = m_lock.lock();
        m_watcherWanted = false;  // stopped for good
        if (m_startPending.load()) RetryStart(true);
    }
    // 3. what the repeat limit kept back is reported, then the buffers leave the
    // map under the lock and are destroyed outside it: each drains its queue into
    // its file within its own bound, and no logging thread waits for that
    ReportRepeats(true);
    std::map<uint32_t, std::unique_ptr<CZkLoggerBuffer>> buffers;
    {
        const auto lock = m_lock.lock();
        m_settingsChanged.reset();
        buffers.swap(m_buffers);
    }
    // Each drains for a bounded time outside the lock, then goes.
    for (auto& entry : buffers) entry.second->DrainAndStop();
    buffers.clear();
    // 4. the rest (work buffers, dump scratch, Advapi32) goes with the members
}

CZkLoggerBuffer* CZkLogger::GetFileBuffer(uint32_t id) {
    const auto lock = m_lock.lock();
    auto it = m_buffers.find(id);
    return it == m_buffers.end() ? nullptr : it->second.get();
}

const wchar_t* CZkLogger::LevelLabel(uint32_t level, wchar_t* scratch260) {
    static const wchar_t* const kLabels[] = {L"ERROR", L"WARNING", L"INFO", L"DEBUG"};
    static_assert(sizeof(kLabels) / sizeof(kLabels[0]) == LOG_DEBUG + 1, "one label per named level");
    if (level <= LOG_DEBUG) return kLabels[level];
    _snwprintf_s(scratch260, kLabelChars, _TRUNCATE, L"LOGLEVEL:%u ", level);
    return scratch260;
}

int FormatUtcOffset(wchar_t* out, size_t outChars, const SYSTEMTIME& utc, const SYSTEMTIME& local) {
    int localHour = local.wHour;
    int utcHour = utc.wHour;
    // the dates differ by at most one day: whichever clock is a day ahead gets 24 hours more
    const uint32_t localDate = (uint32_t(local.wYear) << 16) | (uint32_t(local.wMonth) << 8) | local.wDay;
    const uint32_t utcDate = (uint32_t(utc.wYear) << 16) | (uint32_t(utc.wMonth) << 8) | utc.wDay;
    if (localDate > utcDate)
        localHour += 24;
    else if (localDate < utcDate)
        utcHour += 24;
    const int hours = localHour - utcHour;
    const int minutes = local.wMinute >= utc.wMinute ? local.wMinute - utc.wMinute : utc.wMinute - local.wMinute;
    // "(%+03d:%02d) "
    size_t pos = 0;
    if (outChars > 0) out[0] = L'\0';
    AppendChar(out, outChars, &pos, L'(');
    AppendChar(out, outChars, &pos, hours < 0 ? L'-' : L'+');
    AppendFields(out, outChars, &pos, {{static_cast<uint32_t>(hours < 0 ? -hours : hours), 2, L':'},
                                       {static_cast<uint32_t>(minutes), 2, L')'}});
    AppendChar(out, outChars, &pos, L' ');
    return static_cast<int>(pos);
}

void CZkLogger::SetAlignmentWidth(uint32_t width) { g_alignmentWidth.store(width); }

size_t CZkLogger::FormatPrefix(wchar_t* buffer, const wchar_t* label) {
    const size_t cap = kLogLineChars;
    size_t pos = 0;
    buffer[0] = L'\0';
    const uint32_t flags = m_formatFlags.load();

    // One reading of the clock for the date, the time and the offset: they
    // never disagree across midnight.
    SYSTEMTIME local = {};
    SYSTEMTIME utc = {};
    if (flags & (LogDate | LogTime | LogUtcOffset)) GetLocalTime(&local);
    if (flags & LogUtcOffset) GetSystemTime(&utc);
    if (flags & LogDate)  // "%.4d.%.2d.%.2d "
        AppendFields(buffer, cap, &pos, {{local.wYear, 4, L'.'}, {local.wMonth, 2, L'.'}, {local.wDay, 2, L' '}});
    if (flags & LogTime)  // "%.2d:%.2d:%.2d.%.3d "
        AppendFields(buffer, cap, &pos, {{local.wHour, 2, L':'}, {local.wMinute, 2, L':'}, {local.wSecond, 2, L'.'},
                                         {local.wMilliseconds, 3, L' '}});
    if ((flags & LogUtcOffset) && pos + 1 < cap) pos += FormatUtcOffset(buffer + pos, cap - pos, utc, local);
    const auto appendId = [&](uint32_t id) {  // "[%u] "
        AppendChar(buffer, cap, &pos, L'[');
        AppendFields(buffer, cap, &pos, {{id, 1, L']'}});
        AppendChar(buffer, cap, &pos, L' ');
    };
    if (flags & LogProcessId) appendId(m_processId);
    if (flags & LogThreadId) appendId(static_cast<uint32_t>(GetCurrentThreadId()));
    if (flags & LogSessionId) appendId(m_sessionId);
    if (flags & LogUserName) {
        GetUserNameWFn getUserName = g_getUserName.load();
        wchar_t user[kUserNameChars] = {};
        DWORD size = kUserNameChars;
        if (getUserName && getUserName(user, &size)) Append(buffer, cap, &pos, L"[%s] ", user);
    }
    if ((flags & LogLevelLabel) && label) Append(buffer, cap, &pos, L"[%s]", label);
    if (pos > 0) Append(buffer, cap, &pos, L": ");

    // line the message column up with the widest prefix seen so far
    const uint32_t n = static_cast<uint32_t>(pos);
    const uint32_t width = g_alignmentWidth.load();
    if (n > width)
        g_alignmentWidth.store(n);
    else if (n < width)
        Append(buffer, cap, &pos, L"%*c", static_cast<int>(width - n), L' ');
    return pos;
}

void CZkLogger::WriteRun(CZkLoggerBuffer* buffer, const void* data, size_t bytes) {
    if (bytes == 0) return;
    if (buffer->IsAsync())
        buffer->Push(data, bytes);
    else
        buffer->Process(static_cast<const uint8_t*>(data), bytes, 1);
}

uint64_t CZkLogger::EmitLine(CZkLoggerBuffer* buffer, const wchar_t* label, const wchar_t* text, size_t length,
                          bool writeThrough) {
    wchar_t* line = m_text.get() + kLogLineChars;
    // the prefix is built under the lock, so the timestamps in the file never go back
    size_t chars = FormatPrefix(line, label);
    chars += EscapeLogText(text, length, line + chars, kLogLineChars - 1);
    line[chars++] = L'\r';
    line[chars++] = L'\n';
    // one run per line: the file gets it in one append, whole, whatever other processes write
    if (writeThrough) return buffer->QueueThrough(line, chars * sizeof(wchar_t));
    WriteRun(buffer, line, chars * sizeof(wchar_t));
    return 0;
}

uint64_t CZkLogger::ReportRepeat(CZkLoggerBuffer* buffer, RepeatSlot* slot, bool writeThrough) {
    if (slot->suppressed == 0) return 0;
    wchar_t* report = m_text.get() + kLogLineChars + kLogWholeLineChars;
    const size_t length = FormatText(report, kLogLineChars,
                                     L"sndapi: CZkLogger::ReportRepeat: (%u): %u more lines like this one suppressed "
                                     L"(at most %u a second): %s",
                                     __LINE__, slot->suppressed, kRepeatsPerWindow, slot->excerpt);
    slot->suppressed = 0;
    return EmitLine(buffer, L"ERROR", report, length, writeThrough);
}

bool CZkLogger::PassRepeat(CZkLoggerBuffer* buffer, const wchar_t* label, const wchar_t* format,
                           const wchar_t* message, size_t length, uint64_t* ticket) {
    // The kind is the statement and what it was given (its formatted text):
    // the limit holds back repeats of one line, never a different one.
    uint64_t hash = HashKind(label, format);
    for (size_t i = 0; i < length; ++i) hash = (hash ^ static_cast<uint16_t>(message[i])) * 1099511628211ull;
    const DWORD now = GetTickCount();
    RepeatSlot* slot = nullptr;
    for (RepeatSlot& candidate : m_repeats)
        if (candidate.passed != 0 && candidate.hash == hash) slot = &candidate;
    if (!slot || now - slot->windowStart >= kRepeatWindowMs) {
        // a new window: what the old one (or the slot given up) suppressed is reported first
        if (!slot) slot = RepeatSpare(now);
        *ticket = ReportRepeat(buffer, slot, true);
        slot->hash = hash;
        slot->windowStart = now;
        slot->passed = 0;
        size_t excerpt = length < kRepeatExcerptChars - 1 ? length : kRepeatExcerptChars - 1;
        // Never half a pair: an escaped lone surrogate would claim the line held one.
        if (excerpt < length && excerpt > 0 && IS_HIGH_SURROGATE(message[excerpt - 1])) --excerpt;
        wmemcpy(slot->excerpt, message, excerpt);
        slot->excerpt[excerpt] = L'\0';
    }
    slot->lastUse = ++m_repeatUses;
    if (slot->passed < kRepeatsPerWindow) {
        ++slot->passed;
        return true;
    }
    // the first held back in this window: its report is due when the window ends
    if (++slot->suppressed == 1) ScheduleRepeatReport(slot->windowStart + kRepeatWindowMs);
    return false;
}

CZkLogger::RepeatSlot* CZkLogger::RepeatSpare(DWORD now) {
    auto rank = [&](const RepeatSlot& s) {
        if (s.passed == 0) return 0;
        if (now - s.windowStart >= kRepeatWindowMs) return 1;
        return s.passed < kRepeatsPerWindow ? 2 : 3;
    };
    RepeatSlot* spare = &m_repeats[0];
    for (RepeatSlot& candidate : m_repeats) {
        const int a = rank(candidate), b = rank(*spare);
        if (a < b || (a == b && candidate.lastUse < spare->lastUse)) spare = &candidate;
    }
    return spare;
}

void CZkLogger::ReportRepeats(bool all) {
    const auto lock = m_lock.lock();
    m_repeatDue = 0;
    auto it = m_buffers.find(0);
    if (it == m_buffers.end()) return;
    const DWORD now = GetTickCount();
    for (RepeatSlot& slot : m_repeats) {
        if (all || now - slot.windowStart >= kRepeatWindowMs) ReportRepeat(it->second.get(), &slot, false);
        else if (slot.suppressed != 0) ScheduleRepeatReport(slot.windowStart + kRepeatWindowMs);
    }
}

void CZkLogger::ScheduleRepeatReport(DWORD due) {
    // Tick differences as signed: right across the 49.7-day wrap-around.
    if (!m_repeatTimer.is_valid() || (m_repeatDue != 0 && static_cast<int32_t>(due - m_repeatDue) >= 0)) return;
    m_repeatDue = due ? due : 1;
    const int32_t inMs = static_cast<int32_t>(due - GetTickCount());
    LARGE_INTEGER relative;
    relative.QuadPart = -static_cast<LONGLONG>(inMs > 0 ? inMs : 1) * 10000;  // 100 ns units
    SetWaitableTimer(m_repeatTimer.get(), &relative, 0, nullptr, nullptr, FALSE);
}

void CZkLogger::WriteLine(const wchar_t* label, const wchar_t* format, va_list args, bool writeThrough) {
    CZkLoggerBuffer* buffer = nullptr;
    uint64_t ticket = 0;
    {
        const auto lock = m_lock.lock();
        if (m_startPending.load()) RetryStart();
        auto it = m_buffers.find(0);
        if (it == m_buffers.end()) {
            if (m_startPending.load()) ++m_offLines;  // reported once the log has started
            return;
        }
        buffer = it->second.get();
        wchar_t* message = m_text.get();
        const size_t length = FormatMessageText(message, format, args);
        if (length == 0) return;
        // a suppressed line starts no window, so it has no report to wait for either
        if (writeThrough && !PassRepeat(buffer, label, format, message, length, &ticket)) return;
        const uint64_t own = EmitLine(buffer, label, message, length, writeThrough);
        if (own) ticket = own;  // the later run: waiting for it covers the report before it
    }
    // errors are on disk before the caller goes on (they survive an exit without
    // clean-up), waited for without the lock: no other thread that logs waits too
    buffer->AwaitWritten(ticket);
}

void CZkLogger::LogV(uint32_t level, const wchar_t* format, va_list args) {
    // A start still owed is tried by a line below the level too: the settings
    // watcher is what would raise it, and at LogLevel 0 no other line comes.
    // Looked at under the lock only when a retry is due, so the lines below
    // the level take no lock while the log cannot start.
    if (m_startPending.load() && m_threshold.load() < level && GetTickCount() - m_startRetryTick.load() >= kStartRetryMs) {
        CLastErrorKeeper keepLastError;
        const auto lock = m_lock.lock();
        if (m_startPending.load()) RetryStart();
    }
    if (m_threshold.load() < level) return;
    CLastErrorKeeper keepLastError;
    wchar_t labelScratch[kLabelChars];
    WriteLine(LevelLabel(level, labelScratch), format, args, level == LOG_ERROR);
}

void CZkLogger::BuildHeader() {
    std::unique_ptr<wchar_t[]> prefixBlock(new (std::nothrow) wchar_t[kLogLineChars]);
    std::unique_ptr<wchar_t[]> descriptionBlock(new (std::nothrow) wchar_t[kSystemDescriptionChars]);
    std::unique_ptr<wchar_t[]> textBlock(new (std::nothrow) wchar_t[kLogLineChars]);
    wchar_t* prefix = prefixBlock.get();
    wchar_t* description = descriptionBlock.get();
    wchar_t* text = textBlock.get();
    if (prefix && description && text) {
        FormatPrefix(prefix, L"SERVICE");
        DescribeSystem(description);
        // The second line tells the applications sharing the file apart: the
        // library's version and build, the host's image, process and session.
        wchar_t image[MAX_PATH] = L"";
        const DWORD imageChars = GetModuleFileNameW(nullptr, image, MAX_PATH);
        const wchar_t* slash = imageChars != 0 ? wcsrchr(image, L'\\') : nullptr;
        wchar_t identity[2 * MAX_PATH] = L"";
        const size_t identityChars = FormatText(
            identity, 2 * MAX_PATH, L"%s %s (build %s); host %s, process %u, session %u", kModuleName,
            ZK_FILE_VERSION_WSTR, ZK_PRODUCT_VERSION_WSTR, slash != nullptr ? slash + 1 : image, m_processId, m_sessionId);
        wchar_t escaped[2 * MAX_PATH] = L"";
        escaped[EscapeLogText(identity, identityChars, escaped, 2 * MAX_PATH - 1)] = L'\0';  // writes none itself
        _snwprintf_s(text, kLogLineChars, _TRUNCATE, L"\r\n%s%s%s\r\n%s%s\r\n", prefix, kBuildStamp, description,
                     prefix, escaped);
        try {
            m_identity = identity;
            m_header = text;
        } catch (...) {
            m_header.clear();  // no memory for the copy: new files start without a header
        }
    }
}

bool CZkLogger::AddFileBuffer() {
    const auto lock = m_lock.lock();
    if (m_directory.empty() && m_resolveFolder) {
        wchar_t folder[MAX_PATH] = L"";
        m_resolveFolder(folder);
        // no folder: no file at all, never one in the current directory
        if (folder[0] == L'\0' || lumlib::CatchReturn([&] { m_directory = folder; }) != ERROR_SUCCESS)
            return StartFailed();
    }
    // A base path that does not fit is refused rather than cut: a cut path would
    // put the log into some other folder. It must fit with the longest name
    // the writer gives a file, a numbered one's, or rotation would fail for good.
    wchar_t basePath[MAX_PATH];
    if (m_directory.size() + wcslen(m_moduleName) + wcslen(CZkLoggerBuffer::kLongestFileSuffix) >= MAX_PATH) return false;
    wcscpy_s(basePath, MAX_PATH, m_directory.c_str());
    wcscat_s(basePath, MAX_PATH, m_moduleName);

    // The writer's thread, events or timer may fail to be created, or the map
    // to grow: either way no writer is added, and a later line tries again.
    std::unique_ptr<CZkLoggerBuffer> buffer;
    const uint32_t error = lumlib::CatchReturn([&] {
        if (!m_directory.empty()) CZkLoggerBuffer::CreateLogFolder(m_directory.c_str());
        // The writer's own ERROR lines take this logger's prefix.
        const LogFileSetup setup{m_directory, [this](wchar_t* prefix, const wchar_t* label) {
                                     return FormatPrefix(prefix, label);
                                 }};
        buffer.reset(new CZkLoggerBuffer(setup, basePath, m_sddl, m_maxFileSize.load(), m_async, m_header.c_str(),
                                         m_rotationFileNumber.load()));
        if (buffer->IsReady()) m_buffers.emplace(m_nextBufferId, std::move(buffer));
    });
    if (error != ERROR_SUCCESS || buffer) return StartFailed();  // a writer left here is not ready
    ++m_nextBufferId;
    // A running watcher takes the new buffer's idle close into what it waits for.
    if (m_settingsChanged.is_valid()) SetEvent(m_settingsChanged.get());
    return true;
}

bool CZkLogger::StartFailed() {
    m_startPending.store(true);
    m_startRetryTick = GetTickCount();
    return false;
}

void CZkLogger::RetryStart(bool now) {
    if (!now && GetTickCount() - m_startRetryTick < kStartRetryMs) return;
    m_startRetryTick = GetTickCount();
    bool started = m_buffers.find(0) != m_buffers.end() || AddFileBuffer();
    if (m_watcherWanted && !m_watcher.IsStarted()) started = StartWatcher() && started;
    m_startPending.store(!started);
    auto it = m_buffers.find(0);
    if (it == m_buffers.end() || m_offLines == 0) return;
    wchar_t* report = m_text.get() + kLogLineChars + kLogWholeLineChars;
    const size_t length = FormatText(report, kLogLineChars,
                                     L"sndapi: CZkLogger::RetryStart: (%u): %u lines were dropped: the log could not "
                                     L"be started until now.",
                                     __LINE__, m_offLines);
    m_offLines = 0;
    EmitLine(it->second.get(), L"ERROR", report, length, false);
}
