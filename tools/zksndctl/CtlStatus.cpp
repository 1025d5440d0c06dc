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
    if (!lumlib::SpeaksForServer(who))
        Fail(r, kServer, id + zktools::Format(L": its account could not be read, and the pipe's owner vouches only "
                                              L"for a server in session 0, not %u, so the library refuses it",
                                              who.sessionId));
    else if (lumlib::IsAcceptedServer(who, lumlib::CurrentUserSid(), security.trustedSids))
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
        Fail(r, kPipe, std::wstring(kServicePipePath) + L": absent");
        // The cause: no process serves the pipe now (the emulator's down fault, too, takes it away).
        r->checks[kPipe].cause = L"opening it gave " + zktools::ErrorText(error) +
                                 L": no process serves it now (the service or tessaline-emu is not running, or is "
                                 L"restarting, or went away for a while)";
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

// The device list of the devices stage: kExitOk at its end (301), kListLost when a 6 came first (the
// request is answered by the cut: CtlContext::ListCut) or the request found no connection (status 20);
// else the status's exit code, kExitTimeout or kExitInterrupted.
const int kListLost = -1;
const DWORD kListAfterLossMs = 1000;
int RequestListUntilLoss(const ZkSndApi& api, CtlContext& ctx, DWORD timeoutMs, HANDLE stopEvent, uint32_t* status) {
    ctx.BeginListRequest();
    ::ResetEvent(ctx.listEnd.get());
    ::ResetEvent(ctx.lost.get());  // a loss during the settings read is the session's, not the list's
    *status = api.GetDeviceList();
    // No connection: the library may have seen the loss a moment before its 6. Awaited, so that the session
    // is judged with the loss the list met, and the library has logged it before it is ended.
    if (*status == ZKSND_STATUS_NOT_CONNECTED) {
        if (ctx.losses == 0) ::WaitForSingleObject(ctx.lost.get(), kListAfterLossMs);
        return kListLost;
    }
    if (*status != 0) return ExitCodeForStatus(*status);
    HANDLE waits[3] = {ctx.listEnd.get(), ctx.lost.get(), stopEvent};
    const DWORD w = ::WaitForMultipleObjects(stopEvent != nullptr ? 3 : 2, waits, FALSE, timeoutMs);
    if (w == WAIT_OBJECT_0 + 2) return kExitInterrupted;
    if (w != WAIT_OBJECT_0 && w != WAIT_OBJECT_0 + 1) return kExitTimeout;
    return ctx.WasCut() ? kListLost : kExitOk;
}

void CheckDevices(const ZkSndApi& api, CtlContext& ctx, const CtlOptions& options, HANDLE stopEvent, StatusReport* r) {
    uint32_t status = 0;
    const ULONGLONG start = ::GetTickCount64();
    const int code = RequestListUntilLoss(api, ctx, options.timeoutMs, stopEvent, &status);
    r->interrupted = code == kExitInterrupted;
    if (code == kExitOk && ctx.Overlong())
        Fail(r, kDevices, L"the service listed more devices than any machine has: not a usable list");
    else if (code == kExitOk)
        Ok(r, kDevices, zktools::Format(L"%u devices in %u ms", unsigned(ctx.Devices().size()), MsSince(start)));
    else if (code == kListLost) Fail(r, kDevices, L"the connection was lost before the list ended");
    else if (code == kExitTimeout) Fail(r, kDevices, zktools::Format(L"the list did not end within %u ms", options.timeoutMs));
    else if (code == kExitInterrupted) Fail(r, kDevices, L"interrupted");
    else Fail(r, kDevices, L"the request failed: " + DescribeStatus(status));
}

// Stages session, settings and devices, on the library's connection. The service answers nothing to
// the session id: it counts as accepted when the connection it went out on is still the only one once
// the settings read and the device list have ended, since a service that refuses a session closes the
// connection. Judged at the end, so that a connection that breaks right after a reply fails the same
// row whichever of the reply and the loss the library saw first.
void CheckExchanges(const ZkSndApi& api, CtlContext& ctx, const CtlOptions& options, HANDLE stopEvent,
                    StatusReport* r) {
    SndSettings record;
    std::memset(&record, 0, sizeof(record));
    const ULONGLONG start = ::GetTickCount64();
    const uint32_t status = api.GetSettings(&record);
    const unsigned settingsMs = MsSince(start);
    if (status == 0) Ok(r, kSettings, zktools::Format(L"%u bytes read in %u ms", unsigned(sizeof(record.data)), settingsMs));
    else
        Fail(r, kSettings, DescribeStatus(status) + zktools::Format(L" after %u ms", settingsMs) +
                               (status == ZKSND_STATUS_FAILED && settingsMs >= 2500
                                    ? L": no reply within the library's 3 s wait" : L""));
    CheckDevices(api, ctx, options, stopEvent, r);
    const uint32_t connects = ctx.connects, losses = ctx.losses;
    if (connects == 1 && losses == 0)
        Ok(r, kSession, zktools::Format(L"session %u sent; the connection stayed up through the settings read and "
                                        L"the device list", r->sessionId));
    else
        Fail(r, kSession, zktools::Format(L"the connection broke after the session id went out: %u lost, %u made again",
                                          losses, connects - 1));
}

// What the library logged in this process during the check (its lines carry the process id), read once
// the library has ended: ZkSndDeInit writes out what is queued.
struct LibraryStory {
    std::wstring frame, stall, server, ended, connect, settings, devices;
    bool anyLine = false;
};

std::wstring MessageOf(const std::wstring& line) {
    const size_t at = line.find(L"sndapi: ");
    const size_t text = at == std::wstring::npos ? at : line.find(L"): ", at);
    return text == std::wstring::npos ? std::wstring() : line.substr(text + 3);
}

LibraryStory ReadStory(const std::wstring& path, uint64_t from) {
    LibraryStory s;
    std::vector<std::wstring> lines;
    std::wstring partial;
    DWORD error = 0;
    if (!ReadLogFrom(path, &from, &partial, &lines, &error)) return s;
    const std::wstring mine = zktools::Format(L") [%u] [", unsigned(::GetCurrentProcessId()));
    auto first = [](std::wstring* slot, const std::wstring& text) { if (slot->empty()) *slot = text; };
    for (const std::wstring& line : lines) {
        if (line.find(mine) == std::wstring::npos) continue;
        s.anyLine = true;
        const std::wstring m = MessageOf(line);
        auto has = [&m](const wchar_t* part) { return m.find(part) != std::wstring::npos; };
        if (has(L"bytes is longer than")) first(&s.frame, m);
        else if (has(L"the service read nothing for")) first(&s.stall, m);
        else if (has(L"pipe server refused")) first(&s.server, m);
        else if (has(L"to the service ended after") && !has(L": teardown.")) first(&s.ended, m);
        else if (has(L"cannot connect to the service")) s.connect = m;  // the last attempt's
        else if (has(L"ZkSndGetSettings returned")) first(&s.settings, m);
        else if (has(L"ZkSndVGetDeviceList returned")) first(&s.devices, m);
    }
    return s;
}

std::wstring Join(const std::wstring& a, const std::wstring& b) { return a.empty() || b.empty() ? a + b : a + L" " + b; }

// Each failed row of the library's stages gets the cause its lines give, or says why there is none.
void AttachCauses(const LibraryStory& s, uint32_t level, StatusReport* r) {
    const std::wstring loss = Join(s.frame.empty() ? s.stall : s.frame, s.ended);
    for (int stage = kConnect; stage <= kDevices; ++stage) {
        StatusCheck& c = r->checks[stage];
        if (c.result != CheckResult::kFailed) continue;
        if (stage == kConnect) c.cause = Join(s.server, s.connect);
        else if (stage == kSession) c.cause = loss;
        else if (stage == kSettings) c.cause = s.settings.empty() ? loss : s.settings;
        // A lost list's cause is the loss, whether its request found no connection (a status 20 line) or not.
        else if (c.reason.compare(0, 24, L"the connection was lost ") == 0) c.cause = loss;
        else c.cause = s.devices.empty() ? L"the connection stayed up and the library logged no error: the service "
                                           L"did not end the list" : s.devices;
        if (!c.cause.empty()) continue;
        c.cause = s.anyLine || level > 0 ? L"the library's log of this check says nothing about it"
                                         : L"LogLevel 0 keeps the library's warnings out of the log, and this account "
                                           L"may not raise it: run 'zksndctl log level 1' as an administrator";
    }
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

// The library's stages, then their causes from its log once it has ended. At LogLevel 0 the library
// writes ERROR lines only: the level is raised to WARNING for the check when this account may.
void CheckLibrary(const CtlOptions& options, HANDLE stopEvent, StatusReport* r) {
    const CLogLevelRaise raise(1);
    r->levelRaised = raise.Raised();
    const std::wstring folder = LogFolder();
    const std::wstring log = folder.empty() ? folder : folder + L"zksndapi.txt";
    const uint64_t from = log.empty() ? 0 : FileSizeOf(log);
    CheckService(options, stopEvent, r);
    if (!log.empty()) AttachCauses(ReadStory(log, from), ReadLogSettings().Level(), r);
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
        Ok(r, kLogLevel, zktools::Format(L"%u (%s), %s", level.effective, LevelName(level.effective), RegTypeName(level.type)) +
                             (r->levelRaised ? L"; raised to 1 (WARNING) during the check, then put back" : L""));
    else if (level.type != REG_NONE)
        Fail(r, kLogLevel, zktools::Format(L"LogLevel is a %s the library does not read: it logs at 0 (ERROR)",
                                           RegTypeName(level.type)));
    else
        Ok(r, kLogLevel, std::wstring(L"0 (ERROR): LogLevel is not set") +
                             (r->levelRaised ? L"; set to 1 (WARNING) during the check, then removed" : L""));
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
    r.checks = {{L"pipe", kExitCheckPipe, none, L"", L""},         {L"open", kExitCheckOpen, none, L"", L""},
                {L"server", kExitCheckServer, none, L"", L""},     {L"library", kExitDll, none, L"", L""},
                {L"connect", kExitCheckConnect, none, L"", L""},   {L"session", kExitCheckSession, none, L"", L""},
                {L"settings", kExitCheckSettings, none, L"", L""}, {L"devices", kExitCheckDevices, none, L"", L""},
                {L"log_folder", kExitCheckLogFolder, none, L"", L""}, {L"log_level", kExitCheckLogLevel, none, L"", L""}};
    DWORD session = 0;
    if (::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) r.sessionId = session;
    r.ownPath = ModulePath(nullptr);
    r.ownVersion = OwnVersion();
    CheckPipe(options, &r);
    CheckLibrary(options, stopEvent, &r);
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
    for (const StatusCheck& c : r.checks) {
        out += zktools::Format(L"%-11s %-8s %s\r\n", c.name, ResultName(c.result), EscapeControls(c.reason).c_str());
        if (!c.cause.empty()) out += zktools::Format(L"%21s cause: %s\r\n", L"", EscapeControls(c.cause).c_str());
    }
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
    for (const StatusCheck& c : r.checks) {
        CJsonObject check;
        check.Text(L"name", c.name).Text(L"result", ResultName(c.result)).Text(L"reason", c.reason);
        if (c.cause.empty()) check.Null(L"cause");
        else check.Text(L"cause", c.cause);
        checks += (checks.empty() ? L"" : L", ") + check.Number(L"exitCode", c.exitCode).Str();
    }
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
        out.Raw(L"error", JsonErrorValue(failed->exitCode, std::wstring(failed->name) + L": " + failed->reason +
                                                               (failed->cause.empty() ? L"" : L"; cause: " + failed->cause)));
    return out.Str();
}

}  // namespace zksndctl
