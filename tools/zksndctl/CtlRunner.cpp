#include "tools/zksndctl/CtlRunner.h"

#include <cstring>
#include <vector>

#include "support/lumlib.h"
#include "tools/common/ConsoleOut.h"
#include "tools/zksndctl/CtlSystem.h"

#ifndef ZKSND_VERSION
#define ZKSND_VERSION L"0.0.0"
#endif

namespace zksndctl {
namespace {

// How results leave: text, or JSON on stdout (and then a failure's message also as JSON at the end).
bool g_json = false;
std::wstring g_lastError;

std::wstring ProgramFolder() {
    const std::wstring full = ModulePath(nullptr);
    const size_t slash = full.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : full.substr(0, slash + 1);
}

// The longest server name read from a server-information payload, in characters.
const size_t kMaxServerName = 512;

// What a server-information payload says, read as [major, minor, reserved, reserved, UTF-16 name]: the
// layout tessaline-emu sends. The payload's length is not passed to the callback, so nothing is read
// beyond the memory region the pointer lies in.
struct ServerInfo {
    bool received = false;
    uint32_t major = 0, minor = 0;
    std::wstring name;
};

ServerInfo ReadServerInfo(const uint8_t* payload) {
    ServerInfo info;
    info.received = true;
    MEMORY_BASIC_INFORMATION region = {};
    if (payload == nullptr || ::VirtualQuery(payload, &region, sizeof(region)) == 0) return info;
    const uint8_t* end = static_cast<const uint8_t*>(region.BaseAddress) + region.RegionSize;
    const size_t available = static_cast<size_t>(end - payload);
    if (available < 16) return info;
    std::memcpy(&info.major, payload, 4);
    std::memcpy(&info.minor, payload + 4, 4);
    for (size_t i = 0; i < kMaxServerName && 16 + 2 * i + 1 < available; ++i) {
        const wchar_t c = static_cast<wchar_t>(payload[16 + 2 * i] | (payload[17 + 2 * i] << 8));
        if (c == 0) break;
        info.name += c;
    }
    return info;
}

template <typename T>
bool Resolve(HMODULE module, const char* name, T* out, std::wstring* missing) {
    *out = reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    if (*out == nullptr) {
        if (!missing->empty()) *missing += L", ";
        *missing += zktools::FromUtf8(name);
        return false;
    }
    return true;
}

// Longest device name taken from a record: the library hands out a pointer
// without a length, so a missing terminator must not run us off the end.
const size_t kMaxNameChars = 4096;

// What the callback shares with the command running on the main thread.
struct CtlContext {
    CHandleHolder connected;    // manual-reset: a connection is up
    CHandleHolder newConnection;// auto-reset: callback 8 arrived (watch)
    CHandleHolder listEnd;      // auto-reset: callback 301 arrived
    CHandleHolder serverInfo;   // manual-reset: callback 9 arrived
    lumlib::unique_critical_section lock;
    std::vector<DeviceRow> devices;
    ServerInfo server;          // the last server information, under lock
    bool watch = false;

    bool Create() {
        connected.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        newConnection.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        listEnd.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        serverInfo.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        return connected.is_valid() && newConnection.is_valid() && listEnd.is_valid() && serverInfo.is_valid();
    }
};

// One watch line: text, or a JSON object per line with the time, the code and `fields`.
void Watch(uint32_t code, const std::wstring& text, const std::wstring& fields = L"") {
    if (g_json)
        zktools::PrintLine(zktools::Format(L"{\"time\": \"%s\", \"code\": %u", zktools::TimeStamp().c_str(), code) +
                           fields + L"}");
    else
        zktools::PrintLine(zktools::TimeStamp() + L" " + text);
}

void __cdecl OnNotify(uint32_t code, uintptr_t param, void* context) {
    CtlContext* ctx = static_cast<CtlContext*>(context);
    if (ctx == nullptr) return;
    switch (code) {
    case ZKSND_NOTIFY_CONNECTED:
        ::SetEvent(ctx->connected.get());
        ::SetEvent(ctx->newConnection.get());
        if (ctx->watch) Watch(code, L"connected (8)", L", \"event\": \"connected\"");
        break;
    case ZKSND_NOTIFY_CONNECTION_LOST:
        ::ResetEvent(ctx->connected.get());
        if (ctx->watch)
            Watch(code, zktools::Format(L"connection lost (6), session %u", static_cast<unsigned>(param & 0xFFFFFFFFu)),
                  zktools::Format(L", \"event\": \"connection lost\", \"session\": %u",
                                  static_cast<unsigned>(param & 0xFFFFFFFFu)));
        break;
    case ZKSND_NOTIFY_SERVER_INFO: {
        const ServerInfo info = ReadServerInfo(reinterpret_cast<const uint8_t*>(param));
        if (ctx->watch)
            Watch(code, zktools::Format(L"server information (9): %u.%u \"%s\"", info.major, info.minor,
                                        EscapeControls(info.name).c_str()),
                  zktools::Format(L", \"event\": \"server information\", \"version\": \"%u.%u\", \"name\": ",
                                  info.major, info.minor) + JsonString(info.name));
        {
            lumlib::__auto_locker guard(ctx->lock.get());
            guard.Lock();
            ctx->server = info;
        }
        ::SetEvent(ctx->serverInfo.get());
        break;
    }
    case ZKSND_NOTIFY_DEVICE_INFO: {
        const SndDeviceInfo* info = reinterpret_cast<const SndDeviceInfo*>(param);
        if (info == nullptr) break;
        DeviceRow row;
        row.id = info->field0;
        row.def = info->def;
        row.render = info->render;
        row.extra = info->field3;
        for (size_t i = 0; i < kMaxNameChars && info->devName[i] != 0; ++i) row.name += info->devName[i];
        if (ctx->watch)
            Watch(code,
                  zktools::Format(L"device (300): id %u, %s%s, extra %u, \"%s\"", row.id,
                                  row.render ? L"render" : L"capture", row.def ? L", default" : L"", row.extra,
                                  EscapeControls(row.name).c_str()),
                  zktools::Format(L", \"event\": \"device\", \"id\": %u, \"default\": %s, \"kind\": \"%s\", "
                                  L"\"extra\": %u, \"name\": ",
                                  row.id, row.def ? L"true" : L"false", row.render ? L"render" : L"capture", row.extra) +
                      JsonString(row.name));
        lumlib::__auto_locker guard(ctx->lock.get());
        guard.Lock();
        ctx->devices.push_back(row);
        break;
    }
    case ZKSND_NOTIFY_DEVICE_LIST_END:
        if (ctx->watch) {
            lumlib::__auto_locker guard(ctx->lock.get());
            guard.Lock();
            Watch(code, zktools::Format(L"end of device list (301), %u devices", static_cast<unsigned>(ctx->devices.size())),
                  zktools::Format(L", \"event\": \"end of device list\", \"devices\": %u",
                                  static_cast<unsigned>(ctx->devices.size())));
            ctx->devices.clear();
        }
        ::SetEvent(ctx->listEnd.get());
        break;
    default:
        if (ctx->watch) Watch(code, zktools::Format(L"notification %u", code), L", \"event\": \"other\"");
        break;
    }
}

void PrintError(const std::wstring& text) {
    g_lastError = text;
    zktools::PrintErrLine(L"zksndctl: " + text);
}

// Waits for `event` or Ctrl+C: 0 signalled, kExitInterrupted, or kExitTimeout. With `progress` and
// stderr on a console, a line there tells what is awaited and for how long, and goes when the wait ends.
int WaitOrStop(HANDLE event, HANDLE stopEvent, DWORD timeoutMs, const wchar_t* progress = nullptr) {
    HANDLE waits[2] = {event, stopEvent};
    const DWORD count = stopEvent != nullptr ? 2 : 1;
    const bool show = progress != nullptr && zktools::IsConsole(STD_ERROR_HANDLE);
    const ULONGLONG start = ::GetTickCount64();
    size_t shown = 0;
    DWORD w = WAIT_TIMEOUT;
    for (;;) {
        const ULONGLONG waited = ::GetTickCount64() - start;
        if (waited >= timeoutMs) break;
        const DWORD left = static_cast<DWORD>(timeoutMs - waited);
        w = ::WaitForMultipleObjects(count, waits, FALSE, show ? (left < 250 ? left : 250) : left);
        if (w != WAIT_TIMEOUT) break;
        if (show && ::GetTickCount64() - start >= 500) {
            const std::wstring line = zktools::Format(L"zksndctl: waiting for %s... %.1f s of %.1f s", progress,
                                                      (::GetTickCount64() - start) / 1000.0, timeoutMs / 1000.0);
            zktools::PrintErrText(L"\r" + line);
            shown = line.size();
        }
    }
    if (shown != 0) zktools::PrintErrText(L"\r" + std::wstring(shown, L' ') + L"\r");
    if (w == WAIT_OBJECT_0) return kExitOk;
    if (w == WAIT_OBJECT_0 + 1) return kExitInterrupted;
    return kExitTimeout;
}

// The library, initialised for one command and shut down when it ends.
class CSession {
public:
    CSession(const ZkSndApi& api, CtlContext& ctx) : m_api(api), m_ctx(ctx) {}
    ~CSession() {
        if (m_initialised) m_api.DeInit();  // stops the library's threads: no callback after this
    }
    // Initialises the library; 0 or an exit code.
    int Init() {
        const uint32_t status = m_api.Init(&OnNotify, &m_ctx);
        m_initialised = true;  // the library may hold a client even when Init failed
        if (status != 0) {
            PrintError(L"the library did not start: " + DescribeStatus(status));
            return ExitCodeForStatus(status);
        }
        return kExitOk;
    }
    // Initialises the library and waits for the connection.
    int Open(const CtlOptions& options, HANDLE stopEvent) {
        const int started = Init();
        if (started != kExitOk) return started;
        const int waited = WaitOrStop(m_ctx.connected.get(), stopEvent, options.timeoutMs,
                                      options.command == Command::Devices ? L"the service" : nullptr);
        if (waited == kExitTimeout) {
            PrintError(DescribeStatus(ZKSND_STATUS_NOT_CONNECTED) +
                       zktools::Format(L": no connection within %u ms (is the service or tessaline-emu running?)",
                                       options.timeoutMs));
            return ExitCodeForStatus(ZKSND_STATUS_NOT_CONNECTED);
        }
        if (waited == kExitInterrupted) PrintError(L"interrupted");
        return waited;
    }

private:
    const ZkSndApi& m_api;
    CtlContext& m_ctx;
    bool m_initialised = false;
};

// Asks for the device list and collects it; 0 or an exit code (with the message printed).
int FetchDevices(const ZkSndApi& api, CtlContext& ctx, const CtlOptions& options, HANDLE stopEvent,
                 std::vector<DeviceRow>* devices) {
    {
        lumlib::__auto_locker guard(ctx.lock.get());
        guard.Lock();
        ctx.devices.clear();
    }
    ::ResetEvent(ctx.listEnd.get());
    const uint32_t status = api.GetDeviceList();
    if (status != 0) {
        PrintError(L"device list: " + DescribeStatus(status));
        return ExitCodeForStatus(status);
    }
    const int waited = WaitOrStop(ctx.listEnd.get(), stopEvent, options.timeoutMs,
                                  options.command == Command::Devices ? L"the device list" : nullptr);
    if (waited == kExitTimeout) {
        PrintError(zktools::Format(L"the device list did not end within %u ms", options.timeoutMs));
        return waited;
    }
    if (waited == kExitInterrupted) {
        PrintError(L"interrupted");
        return waited;
    }
    lumlib::__auto_locker guard(ctx.lock.get());
    guard.Lock();
    *devices = ctx.devices;
    return kExitOk;
}

int RunDevices(const ZkSndApi& api, CtlContext& ctx, const CtlOptions& options, HANDLE stopEvent) {
    std::vector<DeviceRow> devices;
    const int code = FetchDevices(api, ctx, options, stopEvent, &devices);
    if (code != kExitOk) return code;
    zktools::PrintText(g_json ? FormatDeviceJson(devices) : FormatDeviceTable(devices));
    return kExitOk;
}

int RunSetDefault(const ZkSndApi& api, CtlContext& ctx, const CtlOptions& options, HANDLE stopEvent) {
    const uint32_t status = api.SetDefault(options.device);
    if (status != 0) {
        PrintError(zktools::Format(L"set-default %u: ", options.device) + DescribeStatus(status));
        return ExitCodeForStatus(status);
    }
    // The request has no answer. Asking for the list behind it shows the
    // result, and its arrival proves the request left before we shut down.
    std::vector<DeviceRow> devices;
    const int code = FetchDevices(api, ctx, options, stopEvent, &devices);
    if (code != kExitOk) return code;
    const DeviceRow* chosen = nullptr;
    for (const DeviceRow& d : devices)
        if (d.id == options.device) chosen = &d;
    const bool isDefault = chosen != nullptr && chosen->def;
    if (g_json)
        zktools::PrintLine(zktools::Format(L"{\"device\": %u, \"default\": %s, \"name\": ", options.device,
                                           isDefault ? L"true" : L"false") +
                           (chosen != nullptr ? JsonString(chosen->name) : L"null") + L"}");
    else if (isDefault)
        zktools::PrintLine(zktools::Format(L"default device: %u \"%s\"", chosen->id, EscapeControls(chosen->name).c_str()));
    if (!isDefault)
        zktools::PrintErrLine(zktools::Format(L"zksndctl: note: the service does not list device %u as the default",
                                              options.device));
    return kExitOk;
}

int RunSettingsGet(const ZkSndApi& api, const CtlOptions& options) {
    SndSettings settings;
    std::memset(&settings, 0, sizeof(settings));
    const uint32_t status = api.GetSettings(&settings);
    if (status != 0) {
        PrintError(L"settings get: " + DescribeStatus(status));
        return ExitCodeForStatus(status);
    }
    if (options.file.empty()) {
        if (g_json)
            zktools::PrintLine(zktools::Format(L"{\"size\": %u, \"hex\": \"", static_cast<unsigned>(sizeof(settings.data))) +
                               HexString(settings.data, sizeof(settings.data)) + L"\"}");
        else
            zktools::PrintText(FormatHexDump(settings.data, sizeof(settings.data)));
        return kExitOk;
    }
    DWORD error = 0;
    if (!zktools::WriteWholeFile(options.file, settings.data, sizeof(settings.data), &error)) {
        PrintError(options.file + L": " + zktools::ErrorText(error));
        return kExitFile;
    }
    if (g_json)
        zktools::PrintLine(zktools::Format(L"{\"size\": %u, \"file\": ", static_cast<unsigned>(sizeof(settings.data))) +
                           JsonString(options.file) + L"}");
    else
        zktools::PrintLine(zktools::Format(L"wrote %u bytes to %s", static_cast<unsigned>(sizeof(settings.data)),
                                           options.file.c_str()));
    return kExitOk;
}

int ReadSettingsFile(const std::wstring& path, SndSettings* settings) {
    std::vector<uint8_t> bytes;
    DWORD error = 0;
    if (!zktools::ReadWholeFile(path, &bytes, &error)) {
        PrintError(path + L": " + zktools::ErrorText(error));
        return kExitFile;
    }
    if (bytes.size() != sizeof(settings->data)) {
        PrintError(zktools::Format(L"%s: holds %u bytes; a settings record has %u", path.c_str(),
                                   static_cast<unsigned>(bytes.size()), static_cast<unsigned>(sizeof(settings->data))));
        return kExitFile;
    }
    std::memcpy(settings->data, bytes.data(), bytes.size());
    return kExitOk;
}

int RunSettingsSet(const ZkSndApi& api, const SndSettings& settings) {
    const uint32_t status = api.SetSettings(&settings);
    if (status != 0) {
        PrintError(L"settings set: " + DescribeStatus(status));
        return ExitCodeForStatus(status);
    }
    zktools::PrintLine(g_json ? L"{\"written\": true}" : L"settings written");
    return kExitOk;
}

int RunWatch(const ZkSndApi& api, CtlContext& ctx, const CtlOptions& options, HANDLE stopEvent) {
    const ULONGLONG deadline = ::GetTickCount64() + 1000ull * options.seconds;
    for (;;) {
        DWORD timeout = INFINITE;
        if (options.seconds != 0) {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= deadline) return kExitOk;
            timeout = static_cast<DWORD>(deadline - now);
        }
        HANDLE waits[2] = {ctx.newConnection.get(), stopEvent};
        const DWORD w = ::WaitForMultipleObjects(stopEvent != nullptr ? 2 : 1, waits, FALSE, timeout);
        if (w == WAIT_TIMEOUT || w == WAIT_OBJECT_0 + 1) return kExitOk;  // the watch's normal end
        if (w != WAIT_OBJECT_0) {
            PrintError(L"wait failed: " + zktools::ErrorText(::GetLastError()));
            return kExitFailure;
        }
        if (options.requestList) {
            const uint32_t status = api.GetDeviceList();
            if (status != 0)
                Watch(0, L"device list request failed: " + DescribeStatus(status),
                      zktools::Format(L", \"event\": \"device list request failed\", \"status\": %u", status));
        }
    }
}



// "status": what support staff ask first, in one go.
int RunStatus(const CtlOptions& options, HANDLE stopEvent) {
    const bool pipe = ServicePipeExists();
    DWORD session = 0xFFFFFFFFu;
    if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) session = 0xFFFFFFFFu;
    const std::wstring folder = LogFolder();
    const std::vector<std::wstring> files = folder.empty() ? std::vector<std::wstring>() : LogFiles(folder);
    const LogSettings settings = ReadLogSettings();

    CLoadedApi loaded;
    std::wstring dllError;
    const bool dll = loaded.Load(options.dllPath, &dllError);
    CtlContext ctx;
    bool connected = false;
    uint32_t settingsStatus = ZKSND_STATUS_NOT_CONNECTED;
    ServerInfo server;
    if (dll && pipe && ctx.Create()) {
        CSession library(loaded.Api(), ctx);
        if (library.Init() == kExitOk) {
            connected = WaitOrStop(ctx.connected.get(), stopEvent, options.timeoutMs) == kExitOk;
            if (connected) {
                WaitOrStop(ctx.serverInfo.get(), stopEvent, options.timeoutMs);
                SndSettings record;
                settingsStatus = loaded.Api().GetSettings(&record);
                lumlib::__auto_locker guard(ctx.lock.get());
                guard.Lock();
                server = ctx.server;
            }
        }
    }
    const bool answers = connected && (server.received || (settingsStatus != ZKSND_STATUS_FAILED &&
                                                           settingsStatus != ZKSND_STATUS_NOT_CONNECTED));
    const std::wstring dllPath = dll ? loaded.Path() : std::wstring();
    if (g_json) {
        std::wstring out = L"{\"pipe\": {\"name\": " + JsonString(kServicePipePath) +
                           L", \"present\": " + (pipe ? L"true" : L"false") + L"}";
        out += zktools::Format(L", \"service\": {\"connected\": %s, \"answers\": %s, \"settingsStatus\": %u}",
                               connected ? L"true" : L"false", answers ? L"true" : L"false", settingsStatus);
        out += zktools::Format(L", \"sessionId\": %u", static_cast<unsigned>(session));
        out += L", \"server\": " + (server.received ? zktools::Format(L"{\"version\": \"%u.%u\", \"name\": ", server.major,
                                                                    server.minor) + JsonString(server.name) + L"}"
                                                    : std::wstring(L"null"));
        out += L", \"library\": {\"path\": " + (dll ? JsonString(dllPath) : std::wstring(L"null")) +
               L", \"version\": " + (dll ? JsonString(FileVersionOf(dllPath)) : std::wstring(L"null")) + L"}";
        out += L", \"log\": {\"folder\": " + JsonString(folder) + L", \"files\": [";
        for (size_t i = 0; i < files.size(); ++i) out += (i ? L", " : L"") + JsonString(files[i]);
        out += zktools::Format(L"], \"level\": %u, \"levelName\": \"%s\"}", settings.Level(), LevelName(settings.Level()));
        out += L", \"registry\": {\"key\": " + JsonString(std::wstring(L"HKLM\\") + kSettingsKeyPath) +
               L", \"exists\": " + (settings.keyExists ? L"true" : L"false") + L", \"values\": {";
        for (size_t i = 0; i < settings.values.size(); ++i) {
            const LogSetting& v = settings.values[i];
            out += zktools::Format(L"%s\"%s\": {\"set\": %s, \"type\": \"%s\", \"stored\": %u, \"effective\": %u}",
                                   i ? L", " : L"", v.name, v.present ? L"true" : L"false",
                                   v.present ? RegTypeName(v.type) : L"", v.stored, v.effective);
        }
        zktools::PrintLine(out + L"}}}");
    } else {
        std::wstring out;
        auto row = [&out](const wchar_t* label, const std::wstring& text) {
            out += zktools::Format(L"%-15s %s\r\n", label, text.c_str());
        };
        row(L"pipe", std::wstring(kServicePipePath) + (pipe ? L": present" : L": absent (no service, no emulator)"));
        if (!dll) row(L"library", L"not loaded: " + dllError);
        else row(L"library", dllPath + L", version " + FileVersionOf(dllPath));
        if (answers)
            row(L"service", L"answers" + (settingsStatus == 0 ? std::wstring(L" (settings read)")
                                                             : L" (settings: " + DescribeStatus(settingsStatus) + L")"));
        else if (connected)
            row(L"service", L"connected, but does not answer (settings: " + DescribeStatus(settingsStatus) + L")");
        else
            row(L"service", pipe && dll ? zktools::Format(L"no connection within %u ms", options.timeoutMs)
                                        : std::wstring(L"not asked"));
        row(L"session id", session == 0xFFFFFFFFu ? std::wstring(L"unknown (sent as 0xFFFFFFFF)")
                                                   : zktools::Format(L"%u", static_cast<unsigned>(session)));
        if (server.received)
            row(L"server", zktools::Format(L"\"%s\", version %u.%u", EscapeControls(server.name).c_str(), server.major,
                                           server.minor));
        else
            row(L"server", connected ? L"no server information arrived" : L"-");
        row(L"log folder", folder.empty() ? std::wstring(L"unknown") : folder);
        row(L"log files", files.empty() ? std::wstring(L"none yet") : zktools::Format(L"%u, current: %s",
                                                      static_cast<unsigned>(files.size()), files[0].c_str()));
        row(L"log level", zktools::Format(L"%u (%s)", settings.Level(), LevelName(settings.Level())));
        row(L"registry", std::wstring(L"HKLM\\") + kSettingsKeyPath + (settings.keyExists ? L"" : L" (absent: defaults)"));
        for (const LogSetting& v : settings.values) {
            std::wstring text = zktools::Format(L"%u", v.effective);
            if (*v.unit) text += std::wstring(L" ") + v.unit;
            if (!v.present) text += L"  (not set: default)";
            else if (v.stored != v.effective) text += zktools::Format(L"  (%s %u, bounded)", RegTypeName(v.type), v.stored);
            else text += zktools::Format(L"  (%s)", RegTypeName(v.type));
            out += zktools::Format(L"  %-23s %s\r\n", v.name, text.c_str());
        }
        zktools::PrintText(out);
    }
    if (!dll) return kExitDll;
    if (answers) return kExitOk;
    return connected ? ExitCodeForStatus(settingsStatus) : ExitCodeForStatus(ZKSND_STATUS_NOT_CONNECTED);
}

// Why there is no log file, as the registry stands: the library creates the file with its
// first line, and writes only lines up to LogLevel.
std::wstring NoLogYet() {
    const uint32_t level = ReadLogSettings().Level();
    return zktools::Format(L"the library creates it with its first line of level %s or more severe (LogLevel %u)%s",
                           LevelName(level), level,
                           level == 0 ? L": at LogLevel 0 that is its first ERROR, which may never come" : L"");
}

int RunLogWhere() {
    const std::wstring folder = LogFolder();
    if (folder.empty()) {
        PrintError(L"the common application-data folder is unknown: " + zktools::ErrorText(::GetLastError()));
        return kExitNoLog;
    }
    const std::vector<std::wstring> files = LogFiles(folder);
    if (g_json) {
        std::wstring out = L"{\"folder\": " + JsonString(folder) + L", \"files\": [";
        for (size_t i = 0; i < files.size(); ++i) {
            WIN32_FILE_ATTRIBUTE_DATA data = {};
            ::GetFileAttributesExW(files[i].c_str(), GetFileExInfoStandard, &data);
            out += (i ? L", " : L"") + std::wstring(L"{\"path\": ") + JsonString(files[i]) +
                   zktools::Format(L", \"size\": %llu}", (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) |
                                                            data.nFileSizeLow);
        }
        zktools::PrintLine(out + L"]}");
        return kExitOk;
    }
    zktools::PrintLine(L"folder  " + folder);
    for (const std::wstring& file : files) {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        ::GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data);
        zktools::PrintLine(zktools::Format(L"file    %s  (%llu bytes)", file.c_str(),
                                           (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow));
    }
    if (files.empty()) zktools::PrintLine(L"no log file yet: " + NoLogYet());
    return kExitOk;
}

void PrintLogLines(const std::vector<std::wstring>& lines, bool follow) {
    if (g_json && !follow) {
        std::wstring out = L"{\"lines\": [";
        for (size_t i = 0; i < lines.size(); ++i) out += (i ? L",\r\n  " : L"\r\n  ") + JsonString(lines[i]);
        zktools::PrintLine(out + (lines.empty() ? L"]}" : L"\r\n]}"));
        return;
    }
    std::wstring out;
    for (const std::wstring& line : lines)
        out += (g_json ? L"{\"line\": " + JsonString(line) + L"}" : EscapeControls(line)) + L"\r\n";
    if (!out.empty()) zktools::PrintText(out);
}

int RunLogTail(const CtlOptions& options, HANDLE stopEvent) {
    const std::wstring folder = LogFolder();
    const std::wstring path = folder + L"zksndapi.txt";
    std::vector<std::wstring> lines;
    uint64_t offset = 0;
    DWORD error = 0;
    const bool read = !folder.empty() && ReadLogTail(path, options.lines, &lines, &offset, &error);
    const bool absent = !read && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
    if (absent && options.follow) {
        // Followed from its first line once it appears.
        zktools::PrintErrLine(L"zksndctl: no log file yet (" + path + L"): " + NoLogYet() + L"; waiting for it");
    } else if (absent) {
        PrintError(L"no log file yet (" + path + L"): " + NoLogYet());
        return kExitNoLog;
    } else if (!read) {
        PrintError(L"cannot read the log " + path + L": " + zktools::ErrorText(error));
        return kExitNoLog;
    }
    PrintLogLines(lines, options.follow);
    if (!options.follow) return kExitOk;

    // Follow: woken by changes in the folder, and once a second anyway (a file held open may not
    // report its growth at once).
    HANDLE change = ::FindFirstChangeNotificationW(folder.c_str(), FALSE,
                                                   FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                                       FILE_NOTIFY_CHANGE_FILE_NAME);
    const ULONGLONG deadline = ::GetTickCount64() + 1000ull * options.seconds;
    std::wstring partial;
    int code = kExitOk;
    for (;;) {
        DWORD timeout = 1000;
        if (options.seconds != 0) {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= deadline) break;
            if (deadline - now < timeout) timeout = static_cast<DWORD>(deadline - now);
        }
        HANDLE waits[2] = {stopEvent, change};
        const DWORD count = change != INVALID_HANDLE_VALUE ? 2 : 1;
        const DWORD w = ::WaitForMultipleObjects(count, waits, FALSE, timeout);
        if (w == WAIT_OBJECT_0) break;  // Ctrl+C: the normal end of a follow
        if (w == WAIT_OBJECT_0 + 1) ::FindNextChangeNotification(change);
        lines.clear();
        if (ReadLogFrom(path, &offset, &partial, &lines, &error)) PrintLogLines(lines, true);
        else if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {  // not yet, or between rotation and the next line
            PrintError(L"cannot read the log " + path + L": " + zktools::ErrorText(error));
            code = kExitNoLog;
            break;
        }
    }
    if (change != INVALID_HANDLE_VALUE) ::FindCloseChangeNotification(change);
    return code;
}

int RunLogLevel(const CtlOptions& options) {
    const std::wstring where = std::wstring(L"HKLM\\") + kSettingsKeyPath + L"\\LogLevel";
    if (options.level < 0) {
        const LogSettings settings = ReadLogSettings();
        const LogSetting& v = settings.values[0];
        if (g_json)
            zktools::PrintLine(zktools::Format(L"{\"level\": %u, \"name\": \"%s\", \"set\": %s}", v.effective,
                                               LevelName(v.effective), v.present ? L"true" : L"false"));
        else if (v.present)
            zktools::PrintLine(zktools::Format(L"log level %u (%s), %s in %s", v.effective, LevelName(v.effective),
                                               RegTypeName(v.type), where.c_str()));
        else
            zktools::PrintLine(L"log level 0 (ERROR): " + where +
                               L" is not set; the library starts at 0 and stores it when it may");
        return kExitOk;
    }
    const uint32_t level = static_cast<uint32_t>(options.level);
    const DWORD error = WriteLogLevel(level);
    if (error == ERROR_ACCESS_DENIED) {
        PrintError(L"setting the log level needs an administrator: run zksndctl from an elevated prompt (writing " +
                   where + L" was refused)");
        return kExitNeedsAdmin;
    }
    if (error != 0) {
        PrintError(L"cannot write " + where + L": " + zktools::ErrorText(error));
        return kExitFailure;
    }
    if (g_json)
        zktools::PrintLine(zktools::Format(L"{\"level\": %u, \"name\": \"%s\", \"set\": true}", level, LevelName(level)));
    else
        zktools::PrintLine(zktools::Format(L"log level set to %u (%s); running applications follow within moments",
                                           level, LevelName(level)));
    return kExitOk;
}

int RunVersion(const CtlOptions& options) {
    CLoadedApi loaded;
    std::wstring error;
    const bool dll = loaded.Load(options.dllPath, &error);
    const std::wstring dllVersion = dll ? FileVersionOf(loaded.Path()) : std::wstring();
    if (g_json) {
        zktools::PrintLine(L"{\"zksndctl\": \"" ZKSND_VERSION L"\", \"dll\": " +
                           (dll ? L"{\"path\": " + JsonString(loaded.Path()) + L", \"version\": " +
                                      JsonString(dllVersion) + L"}"
                                : std::wstring(L"null")) + L"}");
    } else {
        zktools::PrintLine(L"zksndctl " ZKSND_VERSION);
        if (dll)
            zktools::PrintLine(L"zksndapi.dll " + (dllVersion.empty() ? std::wstring(L"(no version resource)") : dllVersion) +
                               L" (" + loaded.Path() + L")");
    }
    if (!dll) {
        PrintError(error);
        return kExitDll;
    }
    return kExitOk;
}

int RunWithLibrary(const CtlOptions& options, HANDLE stopEvent) {
    // Read the input file before anything connects: a bad file is the user's to fix first.
    SndSettings toWrite;
    std::memset(&toWrite, 0, sizeof(toWrite));
    if (options.command == Command::SettingsSet) {
        const int code = ReadSettingsFile(options.file, &toWrite);
        if (code != kExitOk) return code;
    }

    CLoadedApi loaded;
    std::wstring error;
    if (!loaded.Load(options.dllPath, &error)) {
        PrintError(error);
        return kExitDll;
    }
    const ZkSndApi& api = loaded.Api();

    if (options.command == Command::Locked) {
        const uint32_t locked = api.ConfigIsLocked();
        if (g_json) zktools::PrintLine(locked != 0 ? L"{\"locked\": true}" : L"{\"locked\": false}");
        else zktools::PrintLine(locked != 0 ? L"locked" : L"not locked");
        return kExitOk;
    }

    CtlContext ctx;
    if (!ctx.Create()) {
        PrintError(zktools::ErrorText(::GetLastError()));
        return kExitFailure;
    }
    ctx.watch = options.command == Command::Watch;
    CSession session(api, ctx);
    if (ctx.watch) {
        // Connections come and go while watching; do not insist on the first one.
        const int started = session.Init();
        return started != kExitOk ? started : RunWatch(api, ctx, options, stopEvent);
    }
    const int opened = session.Open(options, stopEvent);
    if (opened != kExitOk) return opened;
    switch (options.command) {
    case Command::Devices: return RunDevices(api, ctx, options, stopEvent);
    case Command::SetDefault: return RunSetDefault(api, ctx, options, stopEvent);
    case Command::SettingsGet: return RunSettingsGet(api, options);
    case Command::SettingsSet: return RunSettingsSet(api, toWrite);
    default: return kExitUsage;
    }
}

}  // namespace

CLoadedApi::~CLoadedApi() {}

bool CLoadedApi::Load(const std::wstring& path, std::wstring* error) {
    // A full path, so no search order decides which file is loaded: by default the one beside this program.
    std::wstring file = path.empty() ? ProgramFolder() + L"zksndapi.dll" : path;
    std::vector<wchar_t> full(MAX_PATH);
    for (DWORD n; (n = ::GetFullPathNameW(file.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr)) != 0;) {
        if (n < full.size()) {
            file.assign(full.data(), n);
            break;
        }
        full.resize(n + 1);
    }
    // What the library imports comes from its own folder or System32, never from the current folder or PATH.
    m_module.reset(::LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!m_module.is_valid() && ::GetLastError() == ERROR_INVALID_PARAMETER)  // Windows 7 without KB2533623
        m_module.reset(::LoadLibraryExW(file.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!m_module.is_valid()) {
        *error = L"cannot load " + file + L": " + zktools::ErrorText(::GetLastError());
        return false;
    }
    m_path = ModulePath(m_module.get());
    std::wstring missing;
    bool ok = true;
    ok &= Resolve(m_module.get(), "ZkSndVApiInit", &m_api.Init, &missing);
    ok &= Resolve(m_module.get(), "ZkSndVCleanUp", &m_api.CleanUp, &missing);
    ok &= Resolve(m_module.get(), "ZkSndVGetDeviceList", &m_api.GetDeviceList, &missing);
    ok &= Resolve(m_module.get(), "ZkSndDeInit", &m_api.DeInit, &missing);
    ok &= Resolve(m_module.get(), "ZkSndSetDefault", &m_api.SetDefault, &missing);
    ok &= Resolve(m_module.get(), "ZkSndGetSettings", &m_api.GetSettings, &missing);
    ok &= Resolve(m_module.get(), "ZkSndSetSettings", &m_api.SetSettings, &missing);
    ok &= Resolve(m_module.get(), "ZkConfigIsLocked", &m_api.ConfigIsLocked, &missing);
    if (!ok) {
        *error = file + L" lacks the export(s) " + missing;
        return false;
    }
    return true;
}

int RunCommand(const CtlOptions& options, HANDLE stopEvent) {
    g_json = options.json;
    g_lastError.clear();
    int code;
    switch (options.command) {
    case Command::Version: code = RunVersion(options); break;
    case Command::Status: code = RunStatus(options, stopEvent); break;
    case Command::LogWhere: code = RunLogWhere(); break;
    case Command::LogTail: code = RunLogTail(options, stopEvent); break;
    case Command::LogLevel: code = RunLogLevel(options); break;
    default: code = RunWithLibrary(options, stopEvent); break;
    }
    if (g_json && code != kExitOk && !g_lastError.empty())
        zktools::PrintLine(L"{\"error\": " + JsonString(g_lastError) + zktools::Format(L", \"exitCode\": %d}", code));
    return code;
}

}  // namespace zksndctl
