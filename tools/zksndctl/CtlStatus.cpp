#include "tools/zksndctl/CtlStatus.h"

#include <cstring>

#include "support/PipeIdentity.h"
#include "tools/common/ConsoleOut.h"

namespace zksndctl {
namespace {

// The stages, in the order they run; the index into StatusReport::checks.
enum Stage { kPipe, kOpen, kServer, kLibrary, kConnect, kSession, kSettings, kDevices, kLogFolder, kLogLevel };

void Set(StatusReport* r, Stage stage, CheckResult result, const std::wstring& reason) {
    r->checks[stage].result = result;
    r->checks[stage].reason = reason;
}
void Ok(StatusReport* r, Stage stage, const std::wstring& reason) { Set(r, stage, CheckResult::kOk, reason); }
void Fail(StatusReport* r, Stage stage, const std::wstring& reason) { Set(r, stage, CheckResult::kFailed, reason); }
void Skip(StatusReport* r, Stage first, Stage last, const std::wstring& reason) {
    for (int s = first; s <= last; ++s) Set(r, static_cast<Stage>(s), CheckResult::kSkipped, reason);
}

unsigned MsSince(ULONGLONG start) { return static_cast<unsigned>(::GetTickCount64() - start); }

// The server's account, read through the open pipe as the library reads it, judged by the library's rules.
void CheckServer(HANDLE pipe, const lumlib::PipeSecuritySettings& security, StatusReport* r) {
    const DWORD rc = lumlib::QueryPipeServer(pipe, &r->serverAccount);
    const lumlib::ServerIdentity& who = r->serverAccount;
    if (rc != ERROR_SUCCESS)
        return Fail(r, kServer, zktools::Format(L"process %u: its account could not be read: ", who.processId) +
                                    zktools::ErrorText(rc));
    r->serverKnown = true;
    const std::wstring id = zktools::Format(L"process %u, %s (%s)", who.processId, who.sid.c_str(),
                                            who.ownerOfPipe ? L"owner of the pipe" : L"process user");
    if (lumlib::IsAcceptedServer(who, lumlib::CurrentUserSid(), security.trustedSids))
        Ok(r, kServer, id + L": an account the library trusts");
    else
        Fail(r, kServer, id + L": not an account the service runs as, so the library refuses it (an administrator "
                              L"can add it to TrustedServerSids)");
}

// Stages pipe, open and server: zksndctl opens the pipe itself, with the library's flags.
void CheckPipe(const CtlOptions& options, StatusReport* r) {
    const lumlib::PipeSecuritySettings security =
        lumlib::ReadPipeSecuritySettings(HKEY_LOCAL_MACHINE, lumlib::kLibraryKeyPath);
    const ULONGLONG deadline = ::GetTickCount64() + options.timeoutMs;
    CHandleHolder pipe;
    DWORD error = 0;
    for (;;) {
        pipe.reset(::CreateFileW(kServicePipePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 lumlib::PipeOpenFlags(security.level), nullptr));
        error = pipe.is_valid() ? 0 : ::GetLastError();
        const ULONGLONG now = ::GetTickCount64();
        if (error != ERROR_PIPE_BUSY || now >= deadline) break;
        ::WaitNamedPipeW(kServicePipePath, static_cast<DWORD>(deadline - now < 500 ? deadline - now : 500));
    }
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        Fail(r, kPipe, std::wstring(kServicePipePath) + L": absent (neither the service nor tessaline-emu runs)");
        return Skip(r, kOpen, kServer, L"no pipe");
    }
    Ok(r, kPipe, std::wstring(kServicePipePath) + L": present");
    if (!pipe.is_valid()) {
        if (error == ERROR_PIPE_BUSY)
            Fail(r, kOpen, zktools::Format(L"every instance stayed busy for %u ms", options.timeoutMs));
        else
            Fail(r, kOpen, L"refused: " + zktools::ErrorText(error) +
                               (error == ERROR_ACCESS_DENIED ? L": the pipe's security keeps this account out" : L""));
        return Skip(r, kServer, kServer, L"the pipe did not open");
    }
    Ok(r, kOpen, security.level == lumlib::PipeClientLevel::Impersonation
                     ? L"opened; the server may impersonate this caller (PipeImpersonationLevel 2)"
                     : L"opened; the server may identify this caller, not impersonate it");
    CheckServer(pipe.get(), security, r);
}

// Stages session, settings and devices, on the library's connection. The service answers nothing to
// the session id: it counts as accepted when the connection it went out on is still the only one once
// the next request (the settings read) has ended, since a service that refuses a session closes the
// connection.
void CheckExchanges(const ZkSndApi& api, CtlContext& ctx, const CtlOptions& options, HANDLE stopEvent,
                    StatusReport* r) {
    SndSettings record;
    std::memset(&record, 0, sizeof(record));
    ULONGLONG start = ::GetTickCount64();
    const uint32_t status = api.GetSettings(&record);
    const unsigned settingsMs = MsSince(start);
    const uint32_t connects = ctx.connects, losses = ctx.losses;
    if (connects == 1 && losses == 0)
        Ok(r, kSession, zktools::Format(L"session %u sent; the connection stayed up through the next request",
                                        r->sessionId));
    else
        Fail(r, kSession, zktools::Format(L"the connection broke after the session id went out: %u lost, %u made again",
                                          losses, connects - 1));
    if (status == 0) Ok(r, kSettings, zktools::Format(L"%u bytes read in %u ms", unsigned(sizeof(record.data)), settingsMs));
    else
        Fail(r, kSettings, DescribeStatus(status) + zktools::Format(L" after %u ms", settingsMs) +
                               (status == ZKSND_STATUS_FAILED && settingsMs >= 2500
                                    ? L": no reply within the library's 3 s wait" : L""));
    std::vector<DeviceRow> devices;
    uint32_t listStatus = 0;
    start = ::GetTickCount64();
    const int code = RequestDeviceList(api, ctx, options.timeoutMs, stopEvent, nullptr, &devices, &listStatus);
    r->interrupted = code == kExitInterrupted;
    if (code == kExitOk)
        Ok(r, kDevices, zktools::Format(L"%u devices in %u ms", unsigned(devices.size()), MsSince(start)));
    else if (code == kExitTimeout)
        Fail(r, kDevices, zktools::Format(L"the list did not end within %u ms", options.timeoutMs));
    else
        Fail(r, kDevices, code == kExitInterrupted ? std::wstring(L"interrupted") : L"the request failed: " +
                                                                                        DescribeStatus(listStatus));
}

// Stages library and connect, then the exchanges.
void CheckService(const CtlOptions& options, HANDLE stopEvent, StatusReport* r) {
    CLoadedApi loaded;
    std::wstring error;
    if (!loaded.Load(options.dllPath, &error)) {
        Fail(r, kLibrary, error);
        return Skip(r, kConnect, kDevices, L"the library did not load");
    }
    r->libraryLoaded = true;
    r->libraryPath = loaded.Path();
    r->libraryVersion = VersionOf(loaded.Path());
    Ok(r, kLibrary, loaded.Path() + L", " + FormatVersionText(r->libraryVersion));
    if (r->checks[kPipe].result != CheckResult::kOk) return Skip(r, kConnect, kDevices, L"no pipe: not started");
    CtlContext ctx;
    if (!ctx.Create()) {
        Fail(r, kConnect, zktools::ErrorText(::GetLastError()));
        return Skip(r, kSession, kDevices, L"not connected");
    }
    CLibrarySession library(loaded.Api(), ctx);
    const ULONGLONG start = ::GetTickCount64();
    const uint32_t status = library.Init();
    const int waited = status != 0 ? kExitFailure : WaitOrStop(ctx.connected.get(), stopEvent, options.timeoutMs);
    if (waited != kExitOk) {
        r->interrupted = waited == kExitInterrupted;
        Fail(r, kConnect, status != 0 ? L"the library did not start: " + DescribeStatus(status)
                          : waited == kExitInterrupted
                              ? std::wstring(L"interrupted")
                              : zktools::Format(L"no connection within %u ms (the library tries again every second)",
                                                options.timeoutMs));
        return Skip(r, kSession, kDevices, L"not connected");
    }
    Ok(r, kConnect, zktools::Format(L"connected in %u ms", MsSince(start)));
    CheckExchanges(loaded.Api(), ctx, options, stopEvent, r);
    r->serverInfo = ctx.Server();
}

void CheckLog(StatusReport* r) {
    r->logFolder = LogFolder();
    r->registry = ReadLogSettings();
    if (r->logFolder.empty()) {
        Fail(r, kLogFolder, L"the common application-data folder is unknown");
    } else {
        for (const std::wstring& file : LogFiles(r->logFolder)) r->logFiles.push_back({file, FileSizeOf(file)});
        // An absent folder is made by the library when it starts: then the nearest folder above it counts.
        std::wstring probed = r->logFolder;
        DWORD error = ProbeFolderWritable(probed);
        while (error == ERROR_PATH_NOT_FOUND) {
            const size_t cut = probed.find_last_of(L'\\', probed.size() - 2);  // the folder above
            if (cut == std::wstring::npos || cut <= 2) break;                  // not the drive's root
            probed.resize(cut + 1);
            error = ProbeFolderWritable(probed);
        }
        const std::wstring where = probed == r->logFolder ? r->logFolder : r->logFolder + L" (absent), " + probed;
        if (error == 0) Ok(r, kLogFolder, where + L": writable");
        else Fail(r, kLogFolder, where + L": not writable: " + zktools::ErrorText(error));
    }
    const LogSetting& level = r->registry.values[0];
    if (level.present)
        Ok(r, kLogLevel, zktools::Format(L"%u (%s), %s", level.effective, LevelName(level.effective), RegTypeName(level.type)));
    else if (level.type != REG_NONE)
        Fail(r, kLogLevel, zktools::Format(L"LogLevel is a %s the library does not read: it logs at 0 (ERROR)",
                                           RegTypeName(level.type)));
    else
        Ok(r, kLogLevel, L"0 (ERROR): LogLevel is not set");
}

const wchar_t* ResultName(CheckResult result) {
    return result == CheckResult::kOk ? L"ok" : result == CheckResult::kFailed ? L"failed" : L"skipped";
}

std::wstring RegistryJson(const LogSettings& settings) {
    CJsonObject values;
    for (const LogSetting& v : settings.values) {
        CJsonObject value;
        value.Bool(L"set", v.present);
        if (v.type != REG_NONE) value.Text(L"type", RegTypeName(v.type));
        else value.Null(L"type");
        if (v.present) value.Number(L"stored", v.stored);
        else value.Null(L"stored");
        values.Raw(v.name, value.Number(L"effective", v.effective).Str());
    }
    return CJsonObject().Text(L"key", std::wstring(L"HKLM\\") + kSettingsKeyPath).Bool(L"exists", settings.keyExists)
        .Raw(L"values", values.Str()).Str();
}

std::wstring LogJson(const StatusReport& r) {
    std::wstring files;
    for (const StatusLogFile& file : r.logFiles)
        files += (files.empty() ? L"" : L", ") +
                 CJsonObject().Text(L"path", file.path).Number(L"size", static_cast<long long>(file.size)).Str();
    CJsonObject log;
    if (r.logFolder.empty()) log.Null(L"folder");
    else log.Text(L"folder", r.logFolder);
    return log.Raw(L"files", L"[" + files + L"]").Number(L"level", r.registry.Level())
        .Text(L"levelName", LevelName(r.registry.Level())).Str();
}

}  // namespace

int StatusReport::ExitCode() const {
    if (interrupted) return kExitInterrupted;
    const StatusCheck* failed = FirstFailure();
    return failed != nullptr ? failed->exitCode : kExitOk;
}

const StatusCheck* StatusReport::FirstFailure() const {
    for (const StatusCheck& check : checks)
        if (check.result == CheckResult::kFailed) return &check;
    return nullptr;
}

StatusReport CollectStatus(const CtlOptions& options, HANDLE stopEvent) {
    StatusReport r;
    const CheckResult none = CheckResult::kSkipped;
    r.checks = {{L"pipe", kExitCheckPipe, none, L""},         {L"open", kExitCheckOpen, none, L""},
                {L"server", kExitCheckServer, none, L""},     {L"library", kExitDll, none, L""},
                {L"connect", kExitCheckConnect, none, L""},   {L"session", kExitCheckSession, none, L""},
                {L"settings", kExitCheckSettings, none, L""}, {L"devices", kExitCheckDevices, none, L""},
                {L"log_folder", kExitCheckLogFolder, none, L""}, {L"log_level", kExitCheckLogLevel, none, L""}};
    DWORD session = 0;
    if (::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) r.sessionId = session;
    r.ownPath = ModulePath(nullptr);
    r.ownVersion = OwnVersion();
    CheckPipe(options, &r);
    CheckService(options, stopEvent, &r);
    CheckLog(&r);
    return r;
}

std::wstring FormatVersionText(const ModuleVersion& version) {
    return (version.file.empty() ? std::wstring(L"no version resource") : version.file) +
           (version.product.empty() ? L"" : L" (" + version.product + L")");
}

std::wstring FormatVersionJson(const std::wstring& path, const ModuleVersion& version) {
    CJsonObject out;
    for (const auto& [key, value] : {std::make_pair(L"path", &path), std::make_pair(L"fileVersion", &version.file),
                                     std::make_pair(L"productVersion", &version.product)}) {
        if (value->empty()) out.Null(key);
        else out.Text(key, *value);
    }
    return out.Str();
}

std::wstring RenderStatusText(const StatusReport& r) {
    std::wstring out = L"CHECK       RESULT   DETAIL\r\n";
    for (const StatusCheck& c : r.checks)
        out += zktools::Format(L"%-11s %-8s %s\r\n", c.name, ResultName(c.result), EscapeControls(c.reason).c_str());
    auto row = [&out](const wchar_t* label, const std::wstring& text) {
        out += zktools::Format(L"%-15s %s\r\n", label, text.c_str());
    };
    out += L"\r\n";
    row(L"session id", r.sessionId == 0xFFFFFFFFu ? std::wstring(L"unknown (sent as 0xFFFFFFFF)")
                                                   : zktools::Format(L"%u", r.sessionId));
    row(L"server", r.serverInfo.received ? zktools::Format(L"\"%s\", version %u.%u",
                                                           EscapeControls(r.serverInfo.name).c_str(),
                                                           r.serverInfo.major, r.serverInfo.minor)
                                         : std::wstring(L"no server information"));
    row(L"zksndctl", FormatVersionText(r.ownVersion));
    row(L"log files", r.logFiles.empty() ? std::wstring(L"none yet")
                                         : zktools::Format(L"%u, current: %s", unsigned(r.logFiles.size()),
                                                           r.logFiles[0].path.c_str()));
    row(L"registry", std::wstring(L"HKLM\\") + kSettingsKeyPath + (r.registry.keyExists ? L"" : L" (absent: defaults)"));
    for (const LogSetting& v : r.registry.values) {
        std::wstring text = zktools::Format(L"%u", v.effective);
        if (*v.unit) text += std::wstring(L" ") + v.unit;
        if (!v.present) text += L"  (not set: default)";
        else if (v.stored != v.effective) text += zktools::Format(L"  (%s %u, bounded)", RegTypeName(v.type), v.stored);
        else text += zktools::Format(L"  (%s)", RegTypeName(v.type));
        out += zktools::Format(L"  %-23s %s\r\n", v.name, text.c_str());
    }
    const StatusCheck* failed = r.FirstFailure();
    row(L"result", r.interrupted ? zktools::Format(L"interrupted (exit code %d)", kExitInterrupted)
                   : failed == nullptr ? std::wstring(L"ok")
                                       : zktools::Format(L"failed at %s (exit code %d)", failed->name, failed->exitCode));
    return out;
}

std::wstring RenderStatusJson(const StatusReport& r) {
    std::wstring checks;
    for (const StatusCheck& c : r.checks)
        checks += (checks.empty() ? L"" : L", ") + CJsonObject().Text(L"name", c.name).Text(L"result", ResultName(c.result))
                                                       .Text(L"reason", c.reason).Number(L"exitCode", c.exitCode).Str();
    CJsonObject out;
    out.Raw(L"checks", L"[" + checks + L"]").Text(L"pipe", kServicePipePath);
    if (r.sessionId != 0xFFFFFFFFu) out.Number(L"sessionId", r.sessionId);
    else out.Null(L"sessionId");
    const lumlib::ServerIdentity& a = r.serverAccount;
    out.Raw(L"serverAccount", r.serverKnown ? CJsonObject().Number(L"processId", a.processId).Text(L"sid", a.sid)
                                                  .Text(L"source", a.ownerOfPipe ? L"pipe owner" : L"process").Str()
                                            : L"null");
    out.Raw(L"server", r.serverInfo.received
                           ? CJsonObject().Text(L"version", zktools::Format(L"%u.%u", r.serverInfo.major, r.serverInfo.minor))
                                 .Text(L"name", r.serverInfo.name).Str()
                           : L"null");
    out.Raw(L"zksndctl", FormatVersionJson(r.ownPath, r.ownVersion));
    out.Raw(L"library", r.libraryLoaded ? FormatVersionJson(r.libraryPath, r.libraryVersion) : L"null");
    out.Raw(L"log", LogJson(r)).Raw(L"registry", RegistryJson(r.registry));
    if (r.interrupted) out.Raw(L"error", JsonErrorValue(kExitInterrupted, L"interrupted"));
    else if (const StatusCheck* failed = r.FirstFailure())
        out.Raw(L"error", JsonErrorValue(failed->exitCode, std::wstring(failed->name) + L": " + failed->reason));
    return out.Str();
}

}  // namespace zksndctl
