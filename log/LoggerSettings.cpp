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
enum : DWORD { kStopIndex, kKeyIndex, kParentIndex, kRepeatIndex, kFixedHandles };

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
    if (!m_parentChanged.is_valid()) m_parentChanged.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!m_repeatTimer.is_valid()) m_repeatTimer.reset(CreateWaitableTimerW(nullptr, FALSE, nullptr));
    if (!m_settingsChanged.is_valid() || !m_parentChanged.is_valid() || !m_repeatTimer.is_valid()) return false;
    return m_watcher.Start(&CZkLogger::WatcherMain, this) == ERROR_SUCCESS;
}

void CZkLogger::WatchSettings(lumlib::unique_hkey* watched) {
    // closing a dead handle may signal its event once more: one more look, no more
    if (watched->is_valid() && IsKeyDeleted(watched->get())) watched->reset();
    if (!watched->is_valid() &&
        RegOpenKeyExW(m_settingsHive, m_settingsPath, 0, KEY_QUERY_VALUE | KEY_NOTIFY | KEY_WOW64_64KEY,
                      watched->put()) != ERROR_SUCCESS) {
        watched->reset();  // missing: the watch above it sees it made
        return;
    }
    // armed before reading, so a change made while reading raises the event again
    if (RegNotifyChangeKeyValue(watched->get(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, m_settingsChanged.get(), TRUE) !=
        ERROR_SUCCESS) {
        watched->reset();  // a deleted key, say: opened again once the key above it changes
        return;
    }
    LoadSettings(watched->get(), false);
}

void CZkLogger::WatchParent(lumlib::unique_hkey* parent) {
    // The settings key made or deleted changes the names of the key above it;
    // while that one is missing too, the nearest one that exists is watched
    // with its whole tree.
    std::wstring path = m_settingsPath;
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    bool subtree = false;
    parent->reset();
    for (;;) {
        const size_t slash = path.find_last_of(L'\\');
        path = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
        if (RegOpenKeyExW(m_settingsHive, path.empty() ? nullptr : path.c_str(), 0, KEY_NOTIFY | KEY_WOW64_64KEY,
                          parent->put()) == ERROR_SUCCESS)
            break;
        parent->reset();
        if (path.empty()) return;  // not even the hive: nothing to watch
        subtree = true;
    }
    if (RegNotifyChangeKeyValue(parent->get(), subtree, REG_NOTIFY_CHANGE_NAME, m_parentChanged.get(), TRUE) !=
        ERROR_SUCCESS)
        parent->reset();
}

DWORD CZkLogger::WatchedHandles(HANDLE (&handles)[MAXIMUM_WAIT_OBJECTS]) {
    handles[kStopIndex] = m_watcher.StopEvent();
    handles[kKeyIndex] = m_settingsChanged.get();
    handles[kParentIndex] = m_parentChanged.get();
    handles[kRepeatIndex] = m_repeatTimer.get();
    DWORD count = kFixedHandles;
    // Buffers stay until the logger is destroyed, after the watcher.
    const auto lock = m_lock.lock();
    for (const auto& entry : m_buffers) {
        if (count == MAXIMUM_WAIT_OBJECTS) break;
        handles[count++] = entry.second->GetIdleCloseTimer();
    }
    return count;
}

void CZkLogger::OnWatchedHandle(DWORD index, SettingsWatch* watch) {
    switch (index) {
    case kKeyIndex:
        ResetEvent(m_settingsChanged.get());
        WatchSettings(&watch->key);
        break;
    case kParentIndex:  // armed again first, so that a key made meanwhile is seen
        WatchParent(&watch->parent);
        WatchSettings(&watch->key);
        break;
    case kRepeatIndex:
        ReportRepeats(false);
        break;
    default:  // an idle close is due; each buffer takes its own lock, not the logger's
        if (CZkLoggerBuffer* buffer = GetFileBuffer(index - kFixedHandles)) buffer->CloseIfIdle();
        break;
    }
}

// Sleeps until something is to be done: no time-out, so an idle process
// sees no wake-up from the logger.
unsigned __stdcall CZkLogger::WatcherMain(void* context) {
    CZkLogger* self = static_cast<CZkLogger*>(context);
    SettingsWatch watch;  // closed on every way out
    self->WatchParent(&watch.parent);
    for (;;) {
        HANDLE handles[MAXIMUM_WAIT_OBJECTS];
        const DWORD count = self->WatchedHandles(handles);
        const DWORD wait = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
        if (wait == WAIT_OBJECT_0 + kStopIndex || wait >= WAIT_OBJECT_0 + count) break;  // stop, or a failed wait
        self->OnWatchedHandle(wait - WAIT_OBJECT_0, &watch);
    }
    return 0;
}
