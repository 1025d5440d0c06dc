#include "tools/zksndctl/CtlRunner.h"

#include <cstring>
#include <vector>

#include "support/lumlib.h"
#include "tools/common/ConsoleOut.h"
#include "tools/zksndctl/CtlSession.h"
#include "tools/zksndctl/CtlStatus.h"
#include "tools/zksndctl/CtlSystem.h"

namespace zksndctl {
namespace {

// How results leave: text, or JSON on stdout (a failure: one {"error": {"code", "message"}} document).
bool g_json = false;
std::wstring g_lastError;

// The handles that exist, moved to the front: a wait takes no null or invalid one.
DWORD Present(HANDLE* handles, DWORD count) {
    DWORD kept = 0;
    for (DWORD i = 0; i < count; ++i)
        if (handles[i] != nullptr && handles[i] != INVALID_HANDLE_VALUE) handles[kept++] = handles[i];
    return kept;
}

std::wstring ProgramFolder() {
    const std::wstring full = ModulePath(nullptr);
    const size_t slash = full.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : full.substr(0, slash + 1);
}

// The file's full path; the file as given when it has none.
std::wstring FullPath(const std::wstring& file) {
    std::vector<wchar_t> full(MAX_PATH);
    DWORD n = ::GetFullPathNameW(file.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n >= full.size()) {  // n is the size it needs
        full.resize(n + 1);
        n = ::GetFullPathNameW(file.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    return n != 0 && n < full.size() ? std::wstring(full.data(), n) : file;
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

// A folder's change notification, closed with the holder.
struct ChangeNotificationTraits {
    using type = HANDLE;
    static HANDLE empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool is_valid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) noexcept { ::FindCloseChangeNotification(h); }
};
using CChangeNotification = lumlib::unique_resource<ChangeNotificationTraits>;

void PrintError(const std::wstring& text) {
    g_lastError = text;
    zktools::PrintErrLine(L"zksndctl: " + text);
}

// Starts the library: kExitOk, or an exit code with the message printed. The library makes its first
// attempt inside ZkSndVApiInit; when that found no pipe, nothing will connect soon: no wait for it.
int StartLibrary(CLibrarySession& session, CtlContext& ctx) {
    // Looked at before the library starts as well: a service that serves the library's first
    // connection and then goes away must not read as one that was never there.
    const bool absentAtStart = PipeAbsent();
    const uint32_t status = session.Init();
    if (status != 0) {
        PrintError(L"the library did not start: " + DescribeStatus(status));
        return ExitCodeForStatus(status);
    }
    if (absentAtStart && ::WaitForSingleObject(ctx.connected.get(), 0) != WAIT_OBJECT_0 && PipeAbsent()) {
        PrintError(DescribeStatus(ZKSND_STATUS_NOT_CONNECTED) + L": the service's pipe " + kServicePipePath +
                   L" is absent (is the service or tessaline-emu running?)");
        return ExitCodeForStatus(ZKSND_STATUS_NOT_CONNECTED);
    }
    return kExitOk;
}

// Starts the library and waits for the connection: kExitOk, or an exit code with the message printed.
int OpenConnection(CLibrarySession& session, CtlContext& ctx, const CtlOptions& options, HANDLE stopEvent) {
    const int started = StartLibrary(session, ctx);
    if (started != kExitOk) return started;
    const int waited = WaitOrStop(ctx.connected.get(), stopEvent, options.timeoutMs,
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

// Asks for the device list and collects it; 0 or an exit code (with the message printed).
int FetchDevices(const ZkSndApi& api, CtlContext& ctx, const CtlOptions& options, HANDLE stopEvent,
                 std::vector<DeviceRow>* devices) {
    uint32_t status = 0;
    const int code = RequestDeviceList(api, ctx, options.timeoutMs, stopEvent,
                                       options.command == Command::Devices ? L"the device list" : nullptr, devices,
                                       &status);
    if (code == kExitTimeout) PrintError(zktools::Format(L"the device list did not end within %u ms", options.timeoutMs));
    else if (code == kExitInterrupted) PrintError(L"interrupted");
    else if (code != kExitOk) PrintError(L"device list: " + DescribeStatus(status));
    return code;
}

const DeviceRow* FindDevice(const std::vector<DeviceRow>& devices, uint32_t id) {
    for (const DeviceRow& d : devices)
        if (d.id == id) return &d;
    return nullptr;
}

int RunDevices(const ZkSndApi& api, CtlContext& ctx, const CtlOptions& options, HANDLE stopEvent) {
    std::vector<DeviceRow> devices;
    const int code = FetchDevices(api, ctx, options, stopEvent, &devices);
    if (code != kExitOk) return code;
    zktools::PrintText(g_json ? FormatDeviceJson(devices) : FormatDeviceTable(devices));
    return kExitOk;
}

int RunSetDefault(const ZkSndApi& api, CtlContext& ctx, const CtlOptions& options, HANDLE stopEvent) {
    std::vector<DeviceRow> devices;
    int code = kExitOk;
    // A value the service does not list is most likely a typo: refused unless --force.
    if (!options.force && (code = FetchDevices(api, ctx, options, stopEvent, &devices)) != kExitOk) return code;
    if (!options.force && FindDevice(devices, options.device) == nullptr) {
        PrintError(zktools::Format(L"set-default %u: the service does not list device %u ('zksndctl devices' shows the "
                                   L"list; --force sends it anyway)", options.device, options.device));
        return kExitNoSuchDevice;
    }
    if (options.force) {
        // The library tells the service its session id just after the 8 that woke us: a round trip
        // first (what the list's does without --force) gives it that time; no promise.
        SndSettings settings;
        api.GetSettings(&settings);  // its status is SetDefault's to tell
    }
    const uint32_t status = api.SetDefault(options.device);
    if (status != 0) {
        PrintError(zktools::Format(L"set-default %u: ", options.device) + DescribeStatus(status));
        return ExitCodeForStatus(status);
    }
    // The request has no answer. Asking for the list behind it shows the
    // result, and its arrival proves the request left before we shut down.
    if ((code = FetchDevices(api, ctx, options, stopEvent, &devices)) != kExitOk) return code;
    const DeviceRow* chosen = FindDevice(devices, options.device);
    const bool isDefault = chosen != nullptr && chosen->def;
    if (g_json)
        zktools::PrintLine(CJsonObject().Number(L"device", options.device).Bool(L"default", isDefault)
                               .Raw(L"name", chosen != nullptr ? JsonString(chosen->name) : L"null").Str());
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
            timeout = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        // Ctrl+C, or nobody reads the output any more: the watch's normal end, as its time's
        HANDLE waits[3] = {ctx.newConnection.get(), zktools::OutputGoneEvent(), stopEvent};
        const DWORD count = Present(waits, 3);
        const DWORD w = timeout == 0 ? WAIT_TIMEOUT : ::WaitForMultipleObjects(count, waits, FALSE, timeout);
        if (w == WAIT_TIMEOUT || (w > WAIT_OBJECT_0 && w < WAIT_OBJECT_0 + count)) break;
        if (w != WAIT_OBJECT_0) {
            PrintError(L"wait failed: " + zktools::ErrorText(::GetLastError()));
            return kExitFailure;
        }
        const uint32_t status = options.requestList ? api.GetDeviceList() : 0;
        if (status != 0)
            PrintWatchLine(ctx, 0, L"device_list_request_failed", L"device list request failed: " + DescribeStatus(status),
                           CJsonObject().Number(L"status", status));
    }
    // A watch that saw nothing says so: an empty output is not "all is well".
    if (ctx.connects == 0) {
        PrintError(DescribeStatus(ZKSND_STATUS_NOT_CONNECTED) +
                   L": no connection during the watch (is the service or tessaline-emu running?)");
        return ExitCodeForStatus(ZKSND_STATUS_NOT_CONNECTED);
    }
    return kExitOk;
}

// "status": the health check, collected first, then rendered. Its report is the document also when a
// check failed; the exit code is then the first failed check's.
int RunStatus(const CtlOptions& options, HANDLE stopEvent) {
    const StatusReport report = CollectStatus(options, stopEvent);
    zktools::PrintText(g_json ? RenderStatusJson(report) + L"\r\n" : RenderStatusText(report));
    return report.ExitCode();
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
        std::wstring list;
        for (const std::wstring& file : files)
            list += (list.empty() ? L"" : L", ") +
                    CJsonObject().Text(L"path", file).Number(L"size", static_cast<long long>(FileSizeOf(file))).Str();
        zktools::PrintLine(CJsonObject().Text(L"folder", folder).Raw(L"files", L"[" + list + L"]").Str());
        return kExitOk;
    }
    zktools::PrintLine(L"folder  " + folder);
    for (const std::wstring& file : files)
        zktools::PrintLine(zktools::Format(L"file    %s  (%llu bytes)", file.c_str(),
                                           static_cast<unsigned long long>(FileSizeOf(file))));
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

// A follow's lines, with a notice on the error output where rotated files were skipped.
void PrintFollowed(const std::vector<std::wstring>& lines, const std::vector<CLogFollower::Skipped>& skips) {
    auto from = lines.begin();
    for (const CLogFollower::Skipped& skipped : skips) {
        const auto at = lines.begin() + static_cast<std::ptrdiff_t>(skipped.at);
        PrintLogLines({from, at}, true);
        zktools::PrintErrLine(zktools::Format(
            L"zksndctl: %u rotated log file(s) skipped here: the log rotated faster than it was read",
            static_cast<unsigned>(skipped.files)));
        from = at;
    }
    PrintLogLines({from, lines.end()}, true);
}

// How long a follow waits out a log name that refuses it.
const ULONGLONG kFollowDeniedMs = 5000;

// How long a follow waits before it reads again: a second (a file held open may not report its growth at
// once), less when --seconds ends sooner; false when --seconds is over.
bool NextFollowWait(const CtlOptions& options, ULONGLONG deadline, DWORD* timeout) {
    *timeout = 1000;
    if (options.seconds == 0) return true;
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return false;
    if (deadline - now < *timeout) *timeout = static_cast<DWORD>(deadline - now);
    return true;
}

}  // namespace

int FollowLog(const std::wstring& folder, const std::wstring& path, uint64_t offset, CHandleHolder held,
              const CtlOptions& options, HANDLE stopEvent) {
    const CChangeNotification change(::FindFirstChangeNotificationW(
        folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME));
    const ULONGLONG deadline = ::GetTickCount64() + 1000ull * options.seconds;
    CLogFollower follower(path, offset, std::move(held));
    std::vector<std::wstring> lines;
    DWORD timeout = 0;
    ULONGLONG deniedSince = 0;  // the name refused since then (0: it was not)
    while (NextFollowWait(options, deadline, &timeout)) {
        HANDLE waits[3] = {stopEvent, zktools::OutputGoneEvent(), change.get()};
        const DWORD count = Present(waits, 3);
        const DWORD w = ::WaitForMultipleObjects(count, waits, FALSE, follower.Behind() ? 0 : timeout);
        const HANDLE fired = w < WAIT_OBJECT_0 + count ? waits[w - WAIT_OBJECT_0] : nullptr;
        // Ctrl+C, or nobody reads the output any more: the normal end of a follow
        if (fired != nullptr && fired != change.get()) break;
        if (fired != nullptr) ::FindNextChangeNotification(change.get());
        lines.clear();
        DWORD error = 0;
        const bool read = follower.Read(&lines, &error);
        // What was read before a failure too: the files' offsets have moved past it.
        PrintFollowed(lines, follower.LastSkipped());
        if (read || error != ERROR_ACCESS_DENIED) deniedSince = 0;
        else if (deniedSince == 0) deniedSince = ::GetTickCount64();
        // No file: not yet, or between rotation and the next line.
        if (read || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
        if (error != ERROR_ACCESS_DENIED || ::GetTickCount64() - deniedSince >= kFollowDeniedMs) {
            // A name deleted while open stays denied until its last handle closes, which the
            // writers' reopens bring about within a second or two: only a longer denial ends the follow.
            PrintError(L"cannot read the log " + path + L": " + zktools::ErrorText(error));
            return kExitNoLog;
        }
    }
    return kExitOk;
}

namespace {

int RunLogTail(const CtlOptions& options, HANDLE stopEvent) {
    const std::wstring folder = LogFolder();
    const std::wstring path = folder + L"zksndapi.txt";
    std::vector<std::wstring> lines;
    uint64_t offset = 0;
    DWORD error = 0;
    CHandleHolder held;  // the file the tail was read from: the follow goes on in it
    const bool read = !folder.empty() && ReadLogTail(path, options.lines, &lines, &offset, &error, &held);
    const bool absent = !read && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
    if (absent && options.follow) {
        // Followed from its first line once it appears.
        zktools::PrintErrLine(L"zksndctl: no log file yet (" + path + L"): " + NoLogYet() + L"; waiting for it");
    } else if (!read && options.follow && error == ERROR_ACCESS_DENIED) {
        // Deleted while still open, most likely: the follow waits out the refusal (5 s).
        zktools::PrintErrLine(L"zksndctl: the log " + path +
                              L" refuses reading (deleted while still open, or not readable by this account); waiting for it");
    } else if (absent) {
        PrintError(L"no log file yet (" + path + L"): " + NoLogYet());
        return kExitNoLog;
    } else if (!read) {
        PrintError(L"cannot read the log " + path + L": " + zktools::ErrorText(error));
        return kExitNoLog;
    }
    PrintLogLines(lines, options.follow);
    return options.follow ? FollowLog(folder, path, offset, std::move(held), options, stopEvent) : kExitOk;
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
        else if (v.type != REG_NONE)
            zktools::PrintLine(zktools::Format(L"log level 0 (ERROR): %s is a %s the library does not read",
                                               where.c_str(), RegTypeName(v.type)));
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

// --version: zksndctl's versions and the DLL's; a DLL that does not load is the error, zksndctl's still show.
int RunVersion(const CtlOptions& options) {
    CLoadedApi loaded;
    std::wstring error;
    const bool dll = loaded.Load(options.dllPath, &error);
    const ModuleVersion dllVersion = dll ? VersionOf(loaded.Path()) : ModuleVersion();
    if (g_json) {
        CJsonObject out;
        out.Raw(L"zksndctl", FormatVersionJson(ModulePath(nullptr), OwnVersion()))
            .Raw(L"library", dll ? FormatVersionJson(loaded.Path(), dllVersion) : L"null");
        if (!dll) out.Raw(L"error", JsonErrorValue(kExitDll, error));
        zktools::PrintLine(out.Str());
    } else {
        zktools::PrintLine(L"zksndctl " + FormatVersionText(OwnVersion()));
        if (dll) zktools::PrintLine(L"zksndapi.dll " + FormatVersionText(dllVersion) + L" " + loaded.Path());
    }
    if (dll) return kExitOk;
    zktools::PrintErrLine(L"zksndctl: " + error);  // already in the document: not again as an error document
    return kExitDll;
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
    ctx.json = g_json;
    CLibrarySession session(api, ctx);
    if (ctx.watch) {
        // Connections come and go while watching; do not insist on the first one, but on a pipe.
        const int started = StartLibrary(session, ctx);
        return started == kExitOk ? RunWatch(api, ctx, options, stopEvent) : started;
    }
    const int opened = OpenConnection(session, ctx, options, stopEvent);
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
    const std::wstring file = FullPath(path.empty() ? ProgramFolder() + L"zksndapi.dll" : path);
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
    // A failure's document, unless the command's own document carries it (status, --version).
    if (g_json && code != kExitOk && !g_lastError.empty())
        zktools::PrintLine(CJsonObject().Raw(L"error", JsonErrorValue(code, g_lastError)).Str());
    return code;
}

}  // namespace zksndctl
