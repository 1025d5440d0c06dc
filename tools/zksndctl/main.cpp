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

// Ctrl+C ends a watch, or cuts a wait short; the library is still shut down cleanly.
BOOL WINAPI OnConsoleEvent(DWORD) {
    if (g_stopRequested == nullptr) return FALSE;
    ::SetEvent(g_stopRequested);
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
    CHandleHolder stopRequested(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_stopRequested = stopRequested.get();
    ::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
    const int code = zksndctl::RunCommand(options, stopRequested.get());
    ::SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
    g_stopRequested = nullptr;
    return code;
}
