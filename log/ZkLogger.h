// The process-wide logger: level-filtered, prefixed UTF-16LE lines handed to
// the log file buffer, a header line for every new log file, and registry
// settings that are watched for changes while the library runs.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "log/LogLine.h"
#include "support/ByteBlock.h"
#include "support/Holders.h"
#include "support/WorkerThread.h"
#include "support/lumlib.h"

class CZkLoggerBuffer;

// Log levels; a line is written when the threshold is at least its level.
// Levels above LOG_DEBUG are labelled by number ("LOGLEVEL:%u").
enum : uint32_t { LOG_ERROR = 0, LOG_WARNING = 1, LOG_INFO = 2, LOG_DEBUG = 3 };

// Prefix fields. They appear in the line in the order listed here, which is
// not the order of their bit values.
enum : uint32_t {
    LogDate = 0x0001,
    LogTime = 0x0002,
    LogUtcOffset = 0x0040,
    LogProcessId = 0x0008,
    LogThreadId = 0x0004,
    LogSessionId = 0x0010,
    LogUserName = 0x0020,
    LogLevelLabel = 0x8000,
};
// Date, time, UTC offset, process id, thread id and level label.
const uint32_t kLogDefaultFormat = 0x804F;


class IZkLogger {
public:
    virtual void LogV(uint32_t level, const wchar_t* format, va_list args) = 0;
    virtual ~IZkLogger() = 0;
};
inline IZkLogger::~IZkLogger() {}

// The one logging call of the library. A null logger logs nothing. Formats
// follow the platform's wide printf rules (%s takes a wide string).
void LogPrint(IZkLogger* logger, uint32_t level, const wchar_t* format, ...);

class CZkLogger : public IZkLogger {
public:
    // Defaults only: no pool, no file, no registry work. directory may be null
    // (empty: files relative to the current directory); it normally ends with a
    // backslash.
    explicit CZkLogger(const wchar_t* directory);
    ~CZkLogger() override;
    CZkLogger(const CZkLogger&) = delete;
    CZkLogger& operator=(const CZkLogger&) = delete;

    // Allocates and constructs without throwing; null when memory is short.
    static CZkLogger* New(const wchar_t* directory);

    // IZkLogger
    void LogV(uint32_t level, const wchar_t* format, va_list args) override;

    // Start-up steps, in this order: SetAsyncWrite(1) and
    // SetFormatFlags(kLogDefaultFormat), BuildHeader, AddFileBuffer, OpenSettingsKey.
    void SetAsyncWrite(uint32_t async) { m_async = async; }
    // The level threshold, as a settings load sets it.
    void SetThreshold(uint32_t level) { m_threshold.exchange(level); }
    void SetFormatFlags(uint32_t flags) { m_formatFlags.store(flags); }
    void BuildHeader();
    // False when no buffer was added. A directory too long for a file path is
    // refused for good; any other failure (no folder, thread, event or memory)
    // is tried again by a later logging call (see kStartRetryMs).
    bool AddFileBuffer();
    // True when the settings key was created or opened, then loaded. Starts the
    // watcher in any case: a key that could not be made is tried again by the
    // watcher, a watcher that could not start by a later logging call.
    bool OpenSettingsKey();
    // Where the log folder comes from when the directory given is empty:
    // AddFileBuffer asks it each time. An empty answer means no folder, so no
    // file (never one named relative to the current directory), tried again later.
    typedef void (*PFN_RESOLVE_FOLDER)(wchar_t (&folder)[MAX_PATH]);
    void SetFolderResolver(PFN_RESOLVE_FOLDER resolve) { m_resolveFolder = resolve; }
    // A start-up step that failed is tried again by a logging call at most this
    // often; lines logged meanwhile are counted and reported by the first line written.
    static const DWORD kStartRetryMs = 1000;
    // False when LogLevel or RotationLogFileNumber could not be read for a
    // reason that may pass (the watcher reads them again kStartRetryMs later).
    bool LoadSettings(HKEY key, bool writeDefaults);

    // Builds the prefix for label (may be null) into buffer (kLogLineChars
    // characters); returns its length.
    size_t FormatPrefix(wchar_t* buffer, const wchar_t* label);
    // "(%+03d:%02d) " from the two clocks: hours from the hour fields, a day
    // apart counting as 24 hours; minutes as the distance of the minute fields.
    static int FormatUtcOffset(wchar_t* out, size_t outChars, const SYSTEMTIME& utc, const SYSTEMTIME& local) {
        return ::FormatUtcOffset(out, outChars, utc, local);
    }
    // Width of the message column: the longest prefix built so far in the process.
    static void SetAlignmentWidth(uint32_t width);

    // Read-only views, atomic where the value is.
    const wchar_t* GetSecurityDescriptorString() const { return m_sddl; }
    uint32_t GetThreshold() const { return m_threshold.load(); }
    uint32_t GetMaxFileSize() const { return m_maxFileSize.load(); }
    uint32_t GetRotationFileNumber() const { return m_rotationFileNumber.load(); }
    // The header's second line without its prefix (version, build, host
    // image, process, session), before escaping; empty before BuildHeader.
    const wchar_t* GetIdentity() const { return m_identity.c_str(); }
    // The file buffer of that id, or null. Stays valid until the logger is destroyed.
    CZkLoggerBuffer* GetFileBuffer(uint32_t id);

    // Written-through lines (ERROR and labelled ones) of one kind (label,
    // format and formatted text: the same line again) pass at most this many
    // times a window; the rest are counted and reported in one line that quotes it.
    static const uint32_t kRepeatsPerWindow = 10;
    static const DWORD kRepeatWindowMs = 1000;
    // Writes the report of every repeat whose window has ended (all: every
    // repeat counted so far). The settings watcher runs it when the repeat
    // timer set for the earliest such end is due.
    void ReportRepeats(bool all);

private:
    // One kind of line counted by the repeat limit: a hash of its label,
    // format and text, the start of its window, when it was last seen, the lines
    // passed and suppressed in the window, and the start of its message for
    // the report. A new kind takes an unused slot, else one whose window is
    // over, else one not at its limit, else the one used longest ago: a kind
    // that is being held back keeps its slot while others come and go.
    static const size_t kRepeatSlots = 8;
    static const size_t kRepeatExcerptChars = 160;
    struct RepeatSlot {
        uint64_t hash;
        DWORD windowStart;
        uint64_t lastUse;  // m_repeatUses when it was last used: ticks tie within a burst
        uint32_t passed;
        uint32_t suppressed;
        wchar_t excerpt[kRepeatExcerptChars];
    };

    // The settings watcher's registry handles, used on its thread only: the
    // settings key (its values, on m_settingsChanged), and each key above it
    // from the top (the key below it made or deleted changes its names), each
    // with its own event.
    struct SettingsWatch {
        static constexpr DWORD kMaxLevels = 4;
        lumlib::unique_hkey key;
        lumlib::unique_hkey levels[kMaxLevels];
        CHandleHolder levelChanged[kMaxLevels];  // auto-reset
        std::wstring levelPaths[kMaxLevels];
        DWORD levelCount = 0;
        bool rearm = false;  // an arm failed for a reason that may pass: the clock tries again
        // The settings key's notification is armed and has not fired: not armed again (each
        // arm would stay queued in the kernel until the key's next change).
        bool keyArmed = false;
    };
    static unsigned __stdcall WatcherMain(void* logger);
    // What the watcher waits for: stop, the settings key, the repeat timer,
    // the keys above the settings key and each buffer's idle close; the number of handles.
    DWORD WatchedHandles(HANDLE (&handles)[MAXIMUM_WAIT_OBJECTS]);
    void OnWatchedHandle(DWORD index);

    const wchar_t* LevelLabel(uint32_t level, wchar_t* scratch260);
    // Formats the message and writes its line to buffer 0: one run of prefix,
    // escaped message and line end. writeThrough: on disk before the call
    // returns, waited for after the logger lock is released.
    void WriteLine(const wchar_t* label, const wchar_t* format, va_list args, bool writeThrough);
    // Builds one line from text in the line work buffer and hands it on; the
    // ticket to wait for when it is written through (0: none). Lock held.
    uint64_t EmitLine(CZkLoggerBuffer* buffer, const wchar_t* label, const wchar_t* text, size_t length,
                    bool writeThrough);
    // The repeat limit: false when the line must be suppressed. Reports what
    // an ended window (or a slot given up for this line) suppressed first. Lock held.
    bool PassRepeat(CZkLoggerBuffer* buffer, const wchar_t* label, const wchar_t* format, const wchar_t* message,
                    size_t length, uint64_t* ticket);
    uint64_t ReportRepeat(CZkLoggerBuffer* buffer, RepeatSlot* slot, bool writeThrough);  // lock held
    void WriteRun(CZkLoggerBuffer* buffer, const void* data, size_t bytes);
    bool StartWatcher();
    // Creates (or, when it cannot, opens) the settings key and loads it;
    // a failure that may pass leaves m_keyPending for the watcher to retry.
    bool CreateSettingsKey();
    // A failed start-up step: noted, and tried again from kStartRetryMs on.
    bool StartFailed();
    // Tries the failed start-up steps again when due (now: at once), then
    // reports the lines that found no file buffer meanwhile. Lock held.
    void RetryStart(bool now = false);
    // Opens the settings key when watched is not open, arms its change
    // notification and loads it; a key that cannot be armed is let go, so the
    // next pass opens the key anew (the clock's, when the failure may pass).
    void WatchSettings(lumlib::unique_hkey* watched);
    // The keys above the settings key, from the top, with their events; false
    // when an event cannot be made.
    bool PrepareLevels();
    // Arms the watch of every key above the settings key that exists and is
    // not armed: the one whose event came (fired, or none), and those opened anew.
    void WatchLevels(DWORD fired);
    // The watcher's clock: arms that failed, and the settings key while it waits to be made.
    void OnRetryDue();
    // Sets the repeat timer for due when nothing earlier is set. Lock held.
    void ScheduleRepeatReport(DWORD due);

    std::atomic<uint32_t> m_threshold;
    uint32_t m_processId;
    uint32_t m_sessionId;
    std::atomic<uint32_t> m_formatFlags;
    lumlib::unique_critical_section m_lock;
    // Work buffers used under the lock, so a logging call needs little of its
    // caller's stack: the message (kLogLineChars), the line
    // (kLogWholeLineChars) and a repeat report (kLogLineChars).
    std::unique_ptr<wchar_t[]> m_text;
    RepeatSlot m_repeats[kRepeatSlots];  // under the lock
    uint64_t m_repeatUses = 0;           // under the lock
    // The slot a new kind takes (see RepeatSlot).
    RepeatSlot* RepeatSpare(DWORD now);
    std::atomic<uint32_t> m_maxFileSize;
    // The settings watcher; its owner's stop event ends it.
    lumlib::CWorkerThread m_watcher;
    HKEY m_settingsHive;
    const wchar_t* m_settingsPath;
    CHandleHolder m_settingsChanged;  // manual-reset
    SettingsWatch m_watch;
    // Due when the window of a held-back kind of line ends; its report is
    // written then (m_repeatDue, under the lock: the tick it is set for, 0: none).
    CHandleHolder m_repeatTimer;
    DWORD m_repeatDue = 0;
    std::wstring m_directory;
    uint32_t m_async;
    std::wstring m_header;
    std::wstring m_identity;  // set once by BuildHeader, before the logger is shared
    std::atomic<uint32_t> m_rotationFileNumber;
    std::atomic<uint32_t> m_maxLogFiles;
    uint32_t m_nextBufferId;
    std::map<uint32_t, std::unique_ptr<CZkLoggerBuffer>> m_buffers;
    // Start-up steps to try again (under the lock, but for the flags).
    std::atomic<bool> m_startPending{false};
    std::atomic<bool> m_keyPending{false};  // the settings key: retried by the watcher
    bool m_watcherWanted = false;
    std::atomic<DWORD> m_startRetryTick{0};  // written under the lock
    uint32_t m_offLines = 0;  // lines logged while a start was pending and there was no file buffer
    PFN_RESOLVE_FOLDER m_resolveFolder = nullptr;
    const wchar_t* m_moduleName;
    const wchar_t* m_sddl;
    lumlib::unique_hmodule m_advapi;  // holds GetUserNameW's module for the logger's life
};
