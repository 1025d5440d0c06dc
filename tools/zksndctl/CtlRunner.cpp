#include "tools/zksndctl/CtlRunner.h"

#include <cstring>
#include <vector>

#include "support/lumlib.h"
#include "tools/common/ConsoleOut.h"

namespace zksndctl {
namespace {

std::wstring ProgramFolder() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            std::wstring full(path.data(), n);
            const size_t slash = full.find_last_of(L"\\/");
            return slash == std::wstring::npos ? std::wstring() : full.substr(0, slash + 1);
        }
        path.resize(path.size() * 2);
    }
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
    CRITICAL_SECTION lock;
    std::vector<DeviceRow> devices;
    bool watch = false;

    CtlContext() { ::InitializeCriticalSection(&lock); }
    ~CtlContext() { ::DeleteCriticalSection(&lock); }
    bool Create() {
        connected.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        newConnection.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        listEnd.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        return connected.is_valid() && newConnection.is_valid() && listEnd.is_valid();
    }
};

void Watch(const std::wstring& text) { zktools::PrintLine(zktools::TimeStamp() + L" " + text); }

void __cdecl OnNotify(uint32_t code, uintptr_t param, void* context) {
    CtlContext* ctx = static_cast<CtlContext*>(context);
    if (ctx == nullptr) return;
    switch (code) {
    case ZKSND_NOTIFY_CONNECTED:
        ::SetEvent(ctx->connected.get());
        ::SetEvent(ctx->newConnection.get());
        if (ctx->watch) Watch(L"connected (8)");
        break;
    case ZKSND_NOTIFY_CONNECTION_LOST:
        ::ResetEvent(ctx->connected.get());
        if (ctx->watch)
            Watch(zktools::Format(L"connection lost (6), session %u", static_cast<unsigned>(param & 0xFFFFFFFFu)));
        break;
    case ZKSND_NOTIFY_SERVER_INFO:
        // The payload's layout and length belong to the service; nothing of it is read here.
        if (ctx->watch) Watch(L"server information (9)");
        break;
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
            Watch(zktools::Format(L"device (300): id %u, %s%s, extra %u, \"%s\"", row.id,
                                  row.render ? L"render" : L"capture", row.def ? L", default" : L"", row.extra,
                                  row.name.c_str()));
        lumlib::__auto_locker guard(&ctx->lock);
        guard.Lock();
        ctx->devices.push_back(row);
        break;
    }
    case ZKSND_NOTIFY_DEVICE_LIST_END:
        if (ctx->watch) {
            lumlib::__auto_locker guard(&ctx->lock);
            guard.Lock();
            Watch(zktools::Format(L"end of device list (301), %u devices", static_cast<unsigned>(ctx->devices.size())));
            ctx->devices.clear();
        }
        ::SetEvent(ctx->listEnd.get());
        break;
    default:
        if (ctx->watch) Watch(zktools::Format(L"notification %u", code));
        break;
    }
}

void PrintError(const std::wstring& text) { zktools::PrintErrLine(L"zksndctl: " + text); }

// Waits for `event` or Ctrl+C: 0 signalled, kExitInterrupted, or kExitTimeout.
int WaitOrStop(HANDLE event, HANDLE stopEvent, DWORD timeoutMs) {
    HANDLE waits[2] = {event, stopEvent};
    const DWORD count = stopEvent != nullptr ? 2 : 1;
    const DWORD w = ::WaitForMultipleObjects(count, waits, FALSE, timeoutMs);
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
        const int waited = WaitOrStop(m_ctx.connected.get(), stopEvent, options.timeoutMs);
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
        lumlib::__auto_locker guard(&ctx.lock);
        guard.Lock();
        ctx.devices.clear();
    }
    ::ResetEvent(ctx.listEnd.get());
    const uint32_t status = api.GetDeviceList();
    if (status != 0) {
        PrintError(L"device list: " + DescribeStatus(status));
        return ExitCodeForStatus(status);
    }
    const int waited = WaitOrStop(ctx.listEnd.get(), stopEvent, options.timeoutMs);
    if (waited == kExitTimeout) {
        PrintError(zktools::Format(L"the device list did not end within %u ms", options.timeoutMs));
        return waited;
    }
    if (waited == kExitInterrupted) {
        PrintError(L"interrupted");
        return waited;
    }
    lumlib::__auto_locker guard(&ctx.lock);
    guard.Lock();
    *devices = ctx.devices;
    return kExitOk;
}

int RunDevices(const ZkSndApi& api, CtlContext& ctx, const CtlOptions& options, HANDLE stopEvent) {
    std::vector<DeviceRow> devices;
    const int code = FetchDevices(api, ctx, options, stopEvent, &devices);
    if (code != kExitOk) return code;
    zktools::PrintText(options.json ? FormatDeviceJson(devices) : FormatDeviceTable(devices));
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
    if (chosen != nullptr && chosen->def)
        zktools::PrintLine(zktools::Format(L"default device: %u \"%s\"", chosen->id, chosen->name.c_str()));
    else
        PrintError(zktools::Format(L"note: the service does not list device %u as the default", options.device));
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
        zktools::PrintText(FormatHexDump(settings.data, sizeof(settings.data)));
        return kExitOk;
    }
    DWORD error = 0;
    if (!zktools::WriteWholeFile(options.file, settings.data, sizeof(settings.data), &error)) {
        PrintError(options.file + L": " + zktools::ErrorText(error));
        return kExitFile;
    }
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
    zktools::PrintLine(L"settings written");
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
            if (status != 0) Watch(L"device list request failed: " + DescribeStatus(status));
        }
    }
}

}  // namespace

CLoadedApi::~CLoadedApi() {
    if (m_module != nullptr) ::FreeLibrary(m_module);
}

bool CLoadedApi::Load(const std::wstring& path, std::wstring* error) {
    const std::wstring file = path.empty() ? ProgramFolder() + L"zksndapi.dll" : path;
    // Altered search path: whatever the library needs is looked for beside it first.
    m_module = ::LoadLibraryExW(file.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (m_module == nullptr) {
        *error = L"cannot load " + file + L": " + zktools::ErrorText(::GetLastError());
        return false;
    }
    std::wstring missing;
    bool ok = true;
    ok &= Resolve(m_module, "ZkSndVApiInit", &m_api.Init, &missing);
    ok &= Resolve(m_module, "ZkSndVCleanUp", &m_api.CleanUp, &missing);
    ok &= Resolve(m_module, "ZkSndVGetDeviceList", &m_api.GetDeviceList, &missing);
    ok &= Resolve(m_module, "ZkSndDeInit", &m_api.DeInit, &missing);
    ok &= Resolve(m_module, "ZkSndSetDefault", &m_api.SetDefault, &missing);
    ok &= Resolve(m_module, "ZkSndGetSettings", &m_api.GetSettings, &missing);
    ok &= Resolve(m_module, "ZkSndSetSettings", &m_api.SetSettings, &missing);
    ok &= Resolve(m_module, "ZkConfigIsLocked", &m_api.ConfigIsLocked, &missing);
    if (!ok) {
        *error = file + L" lacks the export(s) " + missing;
        return false;
    }
    return true;
}

int RunCommand(const CtlOptions& options, HANDLE stopEvent) {
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
        zktools::PrintLine(locked != 0 ? L"locked" : L"not locked");
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

}  // namespace zksndctl
