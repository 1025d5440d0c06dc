// zksndctl status: a health check of the way from an application to the service, one row per stage,
// collected into a report first and then rendered as text or JSON.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/ServerTrust.h"
#include "tools/zksndctl/CtlOptions.h"
#include "tools/zksndctl/CtlSession.h"
#include "tools/zksndctl/CtlSystem.h"

namespace zksndctl {

enum class CheckResult { kOk, kFailed, kSkipped };  // skipped: an earlier stage it needs failed

// One stage: its stable name, the exit code when it is the first to fail, and what it found.
struct StatusCheck {
    const wchar_t* name;
    int exitCode;
    CheckResult result;
    std::wstring reason;
    std::wstring cause;  // a failed row's cause as the library logged it (connect to devices); empty: none
};

struct StatusLogFile {
    std::wstring path;
    uint64_t size = 0;
};

// What the checks found: data only, read by the renderers without any further look at the system.
struct StatusReport {
    // In the order they run: pipe, open, server, library, connect, session, settings, devices,
    // log_folder, log_level.
    std::vector<StatusCheck> checks;
    uint32_t sessionId = 0xFFFFFFFFu;  // what the library sends; 0xFFFFFFFF: unknown
    bool serverKnown = false;          // serverAccount was read
    lumlib::ServerIdentity serverAccount;
    ServerInfo serverInfo;             // the greeting, when it arrived
    std::wstring ownPath;              // zksndctl's own
    ModuleVersion ownVersion;
    bool libraryLoaded = false;
    std::wstring libraryPath;
    ModuleVersion libraryVersion;
    std::wstring logFolder;
    std::vector<StatusLogFile> logFiles;
    LogSettings registry;
    bool interrupted = false;          // Ctrl+C cut a wait short: the rows after it tell nothing
    bool levelRaised = false;          // LogLevel was raised to WARNING for the check, then put back

    // kExitInterrupted after Ctrl+C, else the first failed check's exit code; kExitOk when none failed.
    int ExitCode() const;
    const StatusCheck* FirstFailure() const;
};

StatusReport CollectStatus(const CtlOptions& options, HANDLE stopEvent);
std::wstring RenderStatusText(const StatusReport& report);
// With an "error" member ({"code", "message"} of the first failure) when a check failed.
std::wstring RenderStatusJson(const StatusReport& report);

// {"path", "fileVersion", "productVersion"}: a module's versions, the same for zksndctl and the DLL
// in status and --version; an unknown part is null.
std::wstring FormatVersionJson(const std::wstring& path, const ModuleVersion& version);
// "1.0.0.227 (1.0.0+g0123456789ab)"
std::wstring FormatVersionText(const ModuleVersion& version);

}  // namespace zksndctl
