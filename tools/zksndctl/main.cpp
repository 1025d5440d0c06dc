// zksndctl: the Tessaline audio service from the command line, through zksndapi.dll.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/lumlib.h"
#include "tools/common/ConsoleOut.h"
#include "tools/zksndctl/CtlOptions.h"
#include "tools/zksndctl/CtlRunner.h"

namespace {

HANDLE g_stopRequested = nullptr;
HANDLE g_finished = nullptr;  // the command has returned

// Ctrl+C ends a watch, or cuts a wait short; the library is still shut down cleanly.
BOOL WINAPI OnConsoleEvent(DWORD type) {
    if (g_stopRequested == nullptr) return FALSE;
    ::SetEvent(g_stopRequested);
    // Closing the window, logging off or shutting down ends the process as this returns: the command
    // gets most of the 5 s Windows allows to put back what it changed (status's raised LogLevel).
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        ::WaitForSingleObject(g_finished, 4000);
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    zksndctl::CtlOptions options;
    std::wstring error;
    if (!zksndctl::ParseCtlOptions(args, &options, &error)) {
        zktools::PrintErrLine(L"zksndctl: " + error);
        zktools::PrintErrLine(L"try 'zksndctl --help'");
        // The command line did not parse, but a script that asked for JSON still gets its one document.
        if (std::find(args.begin(), args.end(), L"--json") != args.end())
            zktools::PrintLine(zksndctl::CJsonObject().Raw(L"error", zksndctl::JsonErrorValue(zksndctl::kExitUsage, error)).Str());
        return zksndctl::kExitUsage;
    }
    if (options.help) {
        zktools::PrintText(options.json ? zksndctl::FormatUsageJson() + L"\r\n" : zksndctl::CtlUsage());
        return zksndctl::kExitOk;
    }
    // Static: a handler still waiting on them as the process ends never sees them closed.
    static CHandleHolder stopRequested(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    static CHandleHolder finished(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_stopRequested = stopRequested.get();
    g_finished = finished.get();
    ::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
    const int code = zksndctl::RunCommand(options, stopRequested.get());
    ::SetEvent(g_finished);
    ::SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
    return code;
}
