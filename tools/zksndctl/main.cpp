// zksndctl: the Tessaline audio service from the command line, through zksndapi.dll.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/lumlib.h"
#include "tools/common/ConsoleOut.h"
#include "tools/zksndctl/CtlOptions.h"
#include "tools/zksndctl/CtlRunner.h"
#include "tools/zksndctl/CtlSystem.h"

namespace {

// A command line that asked for JSON gets its one document, also when zksndctl ends before a command runs.
void PrintJsonError(int code, const std::wstring& message) {
    zktools::PrintLine(zksndctl::CJsonObject().Raw(L"error", zksndctl::JsonErrorValue(code, message)).Str());
}

HANDLE g_stopRequested = nullptr;
HANDLE g_finished = nullptr;  // the command has returned

// Ctrl+C ends a watch, or cuts a wait short; the library is still shut down cleanly.
BOOL WINAPI OnConsoleEvent(DWORD type) {
    if (g_stopRequested == nullptr) return FALSE;
    ::SetEvent(g_stopRequested);
    // Closing the window, logging off or shutting down ends the process soon after this returns:
    // status's raised LogLevel goes back at once, and the command gets a moment to end the library.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        zksndctl::CLogLevelRaise::PutBackNow();
        ::WaitForSingleObject(g_finished, 3000);
    }
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
        if (std::find(args.begin(), args.end(), L"--json") != args.end()) PrintJsonError(zksndctl::kExitUsage, error);
        return zksndctl::kExitUsage;
    }
    if (options.help) {
        zktools::PrintText(options.json ? zksndctl::FormatUsageJson() + L"\r\n" : zksndctl::CtlUsage());
        return zksndctl::kExitOk;
    }
    // Never closed (the process's end does it): a handler may still use them while exit() runs.
    g_stopRequested = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_finished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_stopRequested == nullptr || g_finished == nullptr) {
        error = zktools::ErrorText(::GetLastError());
        zktools::PrintErrLine(L"zksndctl: " + error);
        if (options.json) PrintJsonError(zksndctl::kExitFailure, error);
        return zksndctl::kExitFailure;
    }
    ::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
    const int code = zksndctl::RunCommand(options, g_stopRequested);
    ::SetEvent(g_finished);
    ::SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
    return code;
}
