// The logger's registry settings and the thread that follows their changes and
// closes idle log files.
#include <wchar.h>

#include "log/ZkLogger.h"
#include "log/ZkLoggerBuffer.h"

namespace {

const uint32_t kDefaultRotationFiles = 10;
const uint32_t kMaxRotationFiles = 99;
const uint32_t kMaxFileSizeMB = 1000;
const uint32_t kBytesPerMB = 1048576;
// The watcher's fixed handles, before the buffers' idle timers.
enum : DWORD { kStopIndex, kKeyIndex, kRepeatIndex, kFixedHandles };

// A key deleted since it was opened (and perhaps made again) leaves a dead
// handle whose notification never comes again.
bool IsKeyDeleted(HKEY key) {
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr) == ERROR_KEY_DELETED;
}

// Every value is read into a 4-byte area, whatever its type.
LSTATUS ReadFourBytes(HKEY key, const wchar_t* name, DWORD* type, uint8_t (&data)[4]) {
    DWORD size = sizeof(data);
    ZeroMemory(data, sizeof(data));
    return RegQueryValueExW(key, name, nullptr, type, data, &size);
}

LSTATUS ReadDword(HKEY key, const wchar_t* name, uint32_t* value) {
    uint8_t data[4];
    DWORD type = 0;
    LSTATUS rc = ReadFourBytes(key, name, &type, data);
    if (rc == ERROR_SUCCESS) memcpy(value, data, sizeof(*value));
    return rc;
}

}  // namespace

bool CZkLogger::LoadSettings(HKEY key, bool writeDefaults) {
    bool readAll = true;
    // "LogLevel": a DWORD, or a decimal text short enough for the 4-byte area (one digit)
    {
        uint8_t data[4];
        DWORD type = REG_NONE;
        LSTATUS rc = ReadFourBytes(key, L"LogLevel", &type, data);
        if (rc == ERROR_SUCCESS) {
            if (type == REG_DWORD) {
                uint32_t level;
                memcpy(&level, data, sizeof(level));
                m_threshold.exchange(level);
            } else if (type == REG_SZ) {
                wchar_t text[3] = {};  // at most two characters fit, terminated or not
                memcpy(text, data, sizeof(data));
                // A sign or a blank first is no level: 0 (a "-1" would otherwise turn every level on).
                const bool digit = text[0] >= L'0' && text[0] <= L'9';
                if (text[0] != L'\0') m_threshold.exchange(digit ? static_cast<uint32_t>(wcstoul(text, nullptr, 10)) : 0u);
            }
        } else if (writeDefaults && rc == ERROR_FILE_NOT_FOUND) {
            DWORD level = m_threshold.load();
            RegSetValueExW(key, L"LogLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level), sizeof(level));
        } else if (rc != ERROR_FILE_NOT_FOUND) {
            // Unreadable for now: the level stays, the watcher reads it again
            // (the start arms it at once), and the file says why meanwhile.
            LogPrint(this, LOG_ERROR, L"sndapi: CZkLogger::LoadSettings: (%u): LogLevel cannot be read (error %u); the level stays %u.",
                     __LINE__, static_cast<unsigned>(rc), m_threshold.load());
            readAll = rc == ERROR_MORE_DATA;  // a value too long for the area stays so: not read again
        }
    }

    // "RotationLogFileNumber": 1..99, back to 10 whenever it is missing (or too
    // long to read). A read that fails for a reason that may pass keeps the count
    // in force, and is made again: 10 would let the next rotation delete the older files.
    {
        uint32_t files = kDefaultRotationFiles;
        const LSTATUS rc = ReadDword(key, L"RotationLogFileNumber", &files);
        if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_MORE_DATA) {
            files = kDefaultRotationFiles;
        } else if (rc != ERROR_SUCCESS) {
            files = m_rotationFileNumber.load();
            readAll = false;
        }
        if (files == 0) files = 1;
        if (files > kMaxRotationFiles) files = kMaxRotationFiles;
        m_rotationFileNumber.exchange(files);
        const auto lock = m_lock.lock();
        for (auto& entry : m_buffers) entry.second->SetRotationFileNumber(files ? files : 1);
    }

    // "RotationLogFileSizeMB": 1..1000 MB, unchanged when missing
    {
        uint32_t megabytes = 0;
        if (ReadDword(key, L"RotationLogFileSizeMB", &megabytes) == ERROR_SUCCESS) {
            if (megabytes == 0 || megabytes > kMaxFileSizeMB) megabytes = kMaxFileSizeMB;
            m_maxFileSize.exchange(megabytes * kBytesPerMB);
        }
        const uint32_t bytes = m_maxFileSize.load();
        const auto lock = m_lock.lock();
        for (auto& entry : m_buffers) entry.second->SetMaxFileSize(bytes);
    }

    // "OverrideLogMaxFiles": unchanged when missing
    {
        uint32_t maxFiles = 0;
        if (ReadDword(key, L"OverrideLogMaxFiles", &maxFiles) == ERROR_SUCCESS) m_maxLogFiles.exchange(maxFiles);
    }
    return readAll;
}

bool CZkLogger::OpenSettingsKey() {
    m_settingsHive = HKEY_LOCAL_MACHINE;
    const bool opened = CreateSettingsKey();
    // The watcher in any case: it retries a key that could not be made, and
    // sees one made later through the keys above it.
    m_watcherWanted = true;
    if (!m_watcher.IsStarted() && !StartWatcher()) {
        {
            const auto lock = m_lock.lock();
            StartFailed();  // the next logging call tries again
        }
        // Said once: until it starts, the level does not follow the registry.
        LogPrint(this, LOG_ERROR,
                 L"sndapi: CZkLogger::OpenSettingsKey: (%u): the settings watcher could not be started; the next "
                 L"logging call tries again, and the level stays %u meanwhile.",
                 __LINE__, m_threshold.load());
    }
    return opened;
}

bool CZkLogger::CreateSettingsKey() {
    lumlib::unique_hkey key;
    bool writable = true;
    LSTATUS rc = RegCreateKeyExW(m_settingsHive, m_settingsPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
    // A failure that may pass (memory, the registry's resources) is tried again
    // by the watcher; one that will not (missing and not ours to make, denied)
    // waits for the watch of the keys above to see the key made.
    m_keyPending.store(rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && rc != ERROR_ACCESS_DENIED);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        // Not made now (no write access, or the registry said no): the settings
        // are still read where the key exists, so the level holds from the first
        // line, and the key is left as it is.
        writable = false;
        rc = RegOpenKeyExW(m_settingsHive, m_settingsPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put());
    }
    if (rc != ERROR_SUCCESS) return false;
    LoadSettings(key.get(), writable);
    return true;
}

bool CZkLogger::StartWatcher() {
    if (!m_settingsChanged.is_valid()) m_settingsChanged.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_repeatTimer.is_valid()) m_repeatTimer.reset(CreateWaitableTimerW(nullptr, FALSE, nullptr));
    if (!m_settingsChanged.is_valid() || !m_repeatTimer.is_valid()) return false;
    bool prepared = false;  // the paths allocate: no exception leaves the start
    if (lumlib::CatchReturn([&] { prepared = PrepareLevels(); }) != ERROR_SUCCESS || !prepared) return false;
    // Its first wake: the watcher opens its own handle, arms the notification
    // and loads once more (also when a later logging call starts it).
    SetEvent(m_settingsChanged.get());
    return m_watcher.Start(&CZkLogger::WatcherMain, this) == ERROR_SUCCESS;
}

bool CZkLogger::PrepareLevels() {
    // "Software\Zelkor\Tessaline Server\": "Software", then "Software\Zelkor"
    const std::wstring path = m_settingsPath;
    SettingsWatch& w = m_watch;
    w.levelCount = 0;
    for (size_t slash = path.find(L'\\'); slash != std::wstring::npos && slash + 1 < path.size();
         slash = path.find(L'\\', slash + 1)) {
        if (w.levelCount == SettingsWatch::kMaxLevels) break;  // deeper paths: the top ones are watched
        if (!w.levelChanged[w.levelCount].is_valid())
            w.levelChanged[w.levelCount].reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!w.levelChanged[w.levelCount].is_valid()) return false;
        w.levelPaths[w.levelCount++] = path.substr(0, slash);
    }
    return true;
}

namespace {

// Missing, deleted or not ours to watch: the watch of the key above it sees
// it made again. Anything else (memory, the registry's resources) may pass.
bool MayPass(LSTATUS rc) {
    return rc != ERROR_FILE_NOT_FOUND && rc != ERROR_KEY_DELETED && rc != ERROR_ACCESS_DENIED;
}

}  // namespace

void CZkLogger::WatchSettings(lumlib::unique_hkey* watched) {
    // closing a dead handle may signal its event once more: one more look, no more
    if (watched->is_valid() && IsKeyDeleted(watched->get())) watched->reset();
    LSTATUS rc = ERROR_SUCCESS;
    if (!watched->is_valid()) {
        m_watch.keyArmed = false;
        rc = RegOpenKeyExW(m_settingsHive, m_settingsPath, 0, KEY_QUERY_VALUE | KEY_NOTIFY | KEY_WOW64_64KEY, watched->put());
    }
    // armed before reading, so a change made while reading raises the event again
    if (rc == ERROR_SUCCESS && !m_watch.keyArmed)
        rc = RegNotifyChangeKeyValue(watched->get(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, m_settingsChanged.get(), TRUE);
    if (rc != ERROR_SUCCESS) {
        // Let go, so the next pass opens the key anew; a failure that may
        // pass is tried again by the clock, as nothing else would wake the watcher.
        watched->reset();
        m_watch.keyArmed = false;
        m_watch.rearm = m_watch.rearm || MayPass(rc);
        return;
    }
    m_watch.keyArmed = true;
    // A value that could not be read is read again by the clock: no change
    // may come to raise the event again.
    if (!LoadSettings(watched->get(), false)) m_watch.rearm = true;
}

void CZkLogger::WatchLevels(DWORD fired) {
    // From the top: a key made below an armed one is opened in the same pass,
    // so nothing made meanwhile goes unseen.
    for (DWORD i = 0; i < m_watch.levelCount; ++i) {
        lumlib::unique_hkey& level = m_watch.levels[i];
        const HANDLE changed = m_watch.levelChanged[i].get();
        bool arm = i == fired || !level.is_valid();
        if (level.is_valid() && IsKeyDeleted(level.get())) {
            level.reset();
            WaitForSingleObject(changed, 0);  // the close may have signalled it: that is no change
            arm = true;
        }
        if (!arm) continue;  // still armed
        LSTATUS rc = ERROR_SUCCESS;
        if (!level.is_valid())
            // (KEY_QUERY_VALUE: IsKeyDeleted's query needs it, or it is refused on a live key and a dead one alike)
            rc = RegOpenKeyExW(m_settingsHive, m_watch.levelPaths[i].c_str(), 0, KEY_QUERY_VALUE | KEY_NOTIFY | KEY_WOW64_64KEY,
                               level.put());
        if (rc == ERROR_SUCCESS) rc = RegNotifyChangeKeyValue(level.get(), FALSE, REG_NOTIFY_CHANGE_NAME, changed, TRUE);
        if (rc != ERROR_SUCCESS) {
            level.reset();  // missing: the key above it sees it made
            m_watch.rearm = m_watch.rearm || MayPass(rc);
        }
    }
}

void CZkLogger::OnRetryDue() {
    // Arms that failed for a reason that may pass: every key not armed, from
    // the top, then the settings key, as when a key above it changed (it may
    // have been made again while nothing watched).
    if (m_watch.rearm) {
        m_watch.rearm = false;
        WatchLevels(SettingsWatch::kMaxLevels);
        WatchSettings(&m_watch.key);
    }
    if (m_keyPending.load() && CreateSettingsKey()) WatchSettings(&m_watch.key);
}

DWORD CZkLogger::WatchedHandles(HANDLE (&handles)[MAXIMUM_WAIT_OBJECTS]) {
    handles[kStopIndex] = m_watcher.StopEvent();
    handles[kKeyIndex] = m_settingsChanged.get();
    handles[kRepeatIndex] = m_repeatTimer.get();
    DWORD count = kFixedHandles;
    for (DWORD i = 0; i < m_watch.levelCount; ++i) handles[count++] = m_watch.levelChanged[i].get();
    // Buffers stay until the logger is destroyed, after the watcher.
    const auto lock = m_lock.lock();
    for (const auto& entry : m_buffers) {
        if (count == MAXIMUM_WAIT_OBJECTS) break;
        handles[count++] = entry.second->GetIdleCloseTimer();
    }
    return count;
}

void CZkLogger::OnWatchedHandle(DWORD index) {
    if (index == kKeyIndex) {
        ResetEvent(m_settingsChanged.get());
        m_watch.keyArmed = false;  // fired (or the first wake): armed anew
        WatchSettings(&m_watch.key);
    } else if (index == kRepeatIndex) {
        ReportRepeats(false);
    } else if (index < kFixedHandles + m_watch.levelCount) {
        WatchLevels(index - kFixedHandles);  // armed again first, so that a key made meanwhile is seen
        WatchSettings(&m_watch.key);
    } else if (CZkLoggerBuffer* buffer = GetFileBuffer(index - kFixedHandles - m_watch.levelCount)) {
        buffer->CloseIfIdle();  // an idle close is due; the buffer takes its own lock, not the logger's
    }
}

// Sleeps until something is to be done: no time-out, so an idle process
// sees no wake-up from the logger.
unsigned __stdcall CZkLogger::WatcherMain(void* context) {
    CZkLogger* self = static_cast<CZkLogger*>(context);
    lumlib::CatchReturn([&] { self->WatchLevels(SettingsWatch::kMaxLevels); });  // none fired: each one that exists is armed
    ULONGLONG retryDue = 0;  // the clock's retry, kept across wake-ups: a steady stream of them must not put it off
    for (;;) {
        HANDLE handles[MAXIMUM_WAIT_OBJECTS];
        const DWORD count = self->WatchedHandles(handles);
        // Woken by the clock only while the settings key waits to be made
        // again, or a watch or a value to be read again.
        const bool retry = self->m_keyPending.load() || self->m_watch.rearm;
        const ULONGLONG now = ::GetTickCount64();
        retryDue = !retry ? 0 : retryDue != 0 ? retryDue : now + kStartRetryMs;
        const DWORD waitMs = !retry ? INFINITE : retryDue > now ? static_cast<DWORD>(retryDue - now) : 0;
        const DWORD wait = WaitForMultipleObjects(count, handles, FALSE, waitMs);
        if (wait == WAIT_OBJECT_0 + kStopIndex) break;
        if (wait != WAIT_TIMEOUT && wait >= WAIT_OBJECT_0 + count) {
            LogPrint(self, LOG_ERROR,
                     L"sndapi: CZkLogger::WatcherMain: (%u): the settings watcher stopped (its wait failed, error %u); the level stays %u.",
                     __LINE__, static_cast<unsigned>(::GetLastError()), self->m_threshold.load());
            break;
        }
        // The thread's error boundary: nothing it calls may end the process.
        lumlib::CatchReturn([&] {
            if (wait != WAIT_TIMEOUT) self->OnWatchedHandle(wait - WAIT_OBJECT_0);
            if (retry && ::GetTickCount64() >= retryDue) {
                retryDue = 0;
                self->OnRetryDue();
            }
        });
    }
    // the registry handles go with the thread (closing them signals nothing anyone waits for)
    self->m_watch.key.reset();
    for (lumlib::unique_hkey& level : self->m_watch.levels) level.reset();
    return 0;
}
