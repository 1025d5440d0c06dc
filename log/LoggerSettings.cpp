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
// The watcher's pass (idle files closed, repeats reported, the key checked)
// runs every kPassMs by the clock, however often the key changes.
const DWORD kPassMs = 4000;
const DWORD kIdleCloseMs = 2000;

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

void CZkLogger::LoadSettings(HKEY key, bool writeDefaults) {
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
                if (text[0] != L'\0') m_threshold.exchange(static_cast<uint32_t>(wcstoul(text, nullptr, 10)));
            }
        } else if (writeDefaults && rc == ERROR_FILE_NOT_FOUND) {
            DWORD level = m_threshold.load();
            RegSetValueExW(key, L"LogLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level), sizeof(level));
        }
    }

    // "RotationLogFileNumber": 1..99, back to 10 whenever it is missing
    {
        uint32_t files = kDefaultRotationFiles;
        if (ReadDword(key, L"RotationLogFileNumber", &files) != ERROR_SUCCESS) files = kDefaultRotationFiles;
        if (files == 0) files = 1;
        if (files > kMaxRotationFiles) files = kMaxRotationFiles;
        m_rotationFileNumber.exchange(files);
        lumlib::__auto_locker lock(m_lock.get());
        lock.Lock();
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
        lumlib::__auto_locker lock(m_lock.get());
        lock.Lock();
        for (auto& entry : m_buffers) entry.second->SetMaxFileSize(bytes);
    }

    // "OverrideLogMaxFiles": unchanged when missing
    {
        uint32_t maxFiles = 0;
        if (ReadDword(key, L"OverrideLogMaxFiles", &maxFiles) == ERROR_SUCCESS) m_maxLogFiles.exchange(maxFiles);
    }
}

bool CZkLogger::OpenSettingsKey() {
    m_settingsHive = HKEY_LOCAL_MACHINE;
    lumlib::unique_hkey key;
    bool writable = true;
    LSTATUS rc = RegCreateKeyExW(m_settingsHive, m_settingsPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
    if (rc == ERROR_ACCESS_DENIED) {
        // no write access: read the settings, leave the key as it is
        writable = false;
        rc = RegOpenKeyExW(m_settingsHive, m_settingsPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put());
    }
    if (rc != ERROR_SUCCESS) return false;

    LoadSettings(key.get(), writable);
    if (!m_watcher.IsStarted()) StartWatcher();
    // the watcher opens its own handle, arms the notification and loads once more
    if (m_settingsChanged.is_valid()) SetEvent(m_settingsChanged.get());
    return true;
}

bool CZkLogger::StartWatcher() {
    if (!m_settingsChanged.is_valid()) m_settingsChanged.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_settingsChanged.is_valid()) return false;
    return m_watcher.Start(&CZkLogger::WatcherMain, this) == ERROR_SUCCESS;
}

void CZkLogger::CloseIdleFiles() {
    // Each buffer's own lock is taken without the logger lock: a writer that holds
    // it through a slow append must not stall every thread that logs. Buffers
    // have ids from 0 on and stay until the logger is destroyed, after the watcher.
    for (uint32_t id = 0;; ++id) {
        CZkLoggerBuffer* buffer = GetFileBuffer(id);
        if (!buffer) break;
        buffer->CloseIfIdle(kIdleCloseMs);
    }
}

void CZkLogger::WatchSettings(lumlib::unique_hkey* watched) {
    if (!watched->is_valid() &&
        RegOpenKeyExW(m_settingsHive, m_settingsPath, 0, KEY_QUERY_VALUE | KEY_NOTIFY | KEY_WOW64_64KEY,
                      watched->put()) != ERROR_SUCCESS) {
        watched->reset();
        return;
    }
    // armed before reading, so a change made while reading raises the event again
    if (RegNotifyChangeKeyValue(watched->get(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, m_settingsChanged.get(), TRUE) !=
        ERROR_SUCCESS) {
        watched->reset();  // a deleted key, say: the next pass opens the key again, once it exists
        return;
    }
    LoadSettings(watched->get(), false);
}

unsigned __stdcall CZkLogger::WatcherMain(void* context) {
    CZkLogger* self = static_cast<CZkLogger*>(context);
    lumlib::unique_hkey watched;  // closed on every way out
    const HANDLE events[2] = {self->m_watcher.StopEvent(), self->m_settingsChanged.get()};
    DWORD lastPass = GetTickCount();
    for (;;) {
        const DWORD sincePass = GetTickCount() - lastPass;
        if (sincePass >= kPassMs) {
            lastPass = GetTickCount();
            self->CloseIdleFiles();
            self->ReportRepeats(false);
            // A key deleted since it was opened (and perhaps made again) leaves a dead
            // handle whose notification never comes: the key is opened anew.
            if (!watched.is_valid() || RegQueryInfoKeyW(watched.get(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                                        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) ==
                                           ERROR_KEY_DELETED) {
                watched.reset();
                self->WatchSettings(&watched);
            }
            continue;
        }
        const DWORD wait = WaitForMultipleObjects(2, events, FALSE, kPassMs - sincePass);
        if (wait == WAIT_OBJECT_0 + 1) {
            ResetEvent(events[1]);
            self->WatchSettings(&watched);
        } else if (wait != WAIT_TIMEOUT) {
            break;  // the stop event, or a wait that cannot go on
        }
    }
    return 0;
}
