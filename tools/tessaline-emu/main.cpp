// tessaline-emu: a stand-in for the Tessaline audio service on its pipe.
#include <windows.h>

#include <string>
#include <vector>

#include "support/lumlib.h"
#include "tools/common/ConsoleOut.h"
#include "tools/tessaline-emu/DeviceFile.h"
#include "tools/tessaline-emu/EmuOptions.h"
#include "tools/tessaline-emu/EmuServer.h"
#include "tools/tessaline-emu/EmuState.h"

using namespace tessaline_emu;

namespace {

// Set by Ctrl+C, Ctrl+Break and console close; the main loop then stops the server.
HANDLE g_stopRequested = nullptr;
// Set once everything is stopped, so a closing console waits for a clean end.
HANDLE g_stopped = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD type) {
    if (g_stopRequested == nullptr) return FALSE;
    ::SetEvent(g_stopRequested);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        // The process ends when this returns: give the shutdown a few seconds first.
        if (g_stopped != nullptr) ::WaitForSingleObject(g_stopped, 4000);
    }
    return TRUE;
}

std::wstring ControlEventName(const std::wstring& control, const wchar_t* action) {
    return control + L"." + action;
}

int Signal(const EmuOptions& options) {
    const std::wstring name = ControlEventName(options.signalName, options.signalAction.c_str());
    CHandleHolder event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
    if (!event.is_valid()) {
        zktools::PrintErrLine(L"tessaline-emu: no emulator runs with --control " + options.signalName);
        return kEmuExitNoTarget;
    }
    if (!::SetEvent(event.get())) {
        zktools::PrintErrLine(L"tessaline-emu: " + zktools::ErrorText(::GetLastError()));
        return kEmuExitFailure;
    }
    return kEmuExitOk;
}

int Run(const EmuOptions& options) {
    std::vector<EmuDevice> devices = DefaultDevices();
    if (!options.deviceFile.empty()) {
        std::wstring error;
        if (!LoadDeviceFile(options.deviceFile, &devices, &error)) {
            zktools::PrintErrLine(L"tessaline-emu: " + error);
            return kEmuExitBadFile;
        }
    }
    CEmuState state(std::move(devices), options.settingsFile);
    {
        std::wstring error;
        if (!state.LoadSettings(&error)) {
            zktools::PrintErrLine(L"tessaline-emu: " + error);
            return kEmuExitBadFile;
        }
    }

    // Control events: auto-reset, one per action, in kControlActions order.
    std::vector<CHandleHolder> controls;
    if (!options.control.empty()) {
        for (size_t i = 0; i < kControlActionCount; ++i) {
            const std::wstring name = ControlEventName(options.control, kControlActions[i]);
            CHandleHolder event(::CreateEventW(nullptr, FALSE, FALSE, name.c_str()));
            const DWORD error = ::GetLastError();
            if (!event.is_valid() || error == ERROR_ALREADY_EXISTS) {
                zktools::PrintErrLine(L"tessaline-emu: --control " + options.control +
                                      L": the name is taken (another emulator uses it?)");
                return kEmuExitUsage;
            }
            controls.push_back(std::move(event));
        }
    }

    CEmuServer server(options, state);
    const DWORD error = server.Start();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY) {
        zktools::PrintErrLine(L"tessaline-emu: the pipe is already served (the service or another emulator runs)");
        return kEmuExitPipeBusy;
    }
    if (error != 0) {
        zktools::PrintErrLine(L"tessaline-emu: cannot create the pipe: " + zktools::ErrorText(error));
        return kEmuExitFailure;
    }
    // NAME.ready tells a script or test that clients can connect now. It may
    // have been created by the waiter already; it is set either way.
    CHandleHolder ready;
    if (!options.control.empty()) {
        ready.reset(::CreateEventW(nullptr, TRUE, FALSE, ControlEventName(options.control, L"ready").c_str()));
        if (ready.is_valid()) ::SetEvent(ready.get());
    }
    const std::vector<EmuDevice> shown = state.Devices();
    if (!options.quiet) {
        for (const EmuDevice& d : shown)
            zktools::PrintLine(zktools::Format(L"  device id %u: %s%s, \"%s\"", d.id,
                                               d.render ? L"render" : L"capture", d.def ? L", default" : L"",
                                               d.name.c_str()));
        zktools::PrintLine(L"  press Ctrl+C to stop");
    }

    const ULONGLONG deadline = ::GetTickCount64() + options.exitAfterMs;
    std::vector<HANDLE> waits;
    waits.push_back(g_stopRequested);
    for (const CHandleHolder& c : controls) waits.push_back(c.get());
    std::wstring why = L"stop requested";
    for (;;) {
        DWORD timeout = INFINITE;
        if (options.exitAfterMs != 0) {
            const ULONGLONG now = ::GetTickCount64();
            timeout = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        const DWORD w = ::WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, timeout);
        if (w == WAIT_TIMEOUT) {
            why = L"--exit-after reached";
            break;
        }
        if (w == WAIT_OBJECT_0) break;
        if (w > WAIT_OBJECT_0 && w < WAIT_OBJECT_0 + waits.size()) {
            const std::wstring action = kControlActions[w - WAIT_OBJECT_0 - 1];
            server.Print(L"control: " + action);
            if (action == L"stop") {
                why = L"stop signalled";
                break;
            }
            if (action == L"drop") server.PostToAll(CEmuSession::kActionDrop);
            else if (action == L"unknown") server.PostToAll(CEmuSession::kActionUnknown);
            else if (action == L"devices") server.PostToAll(CEmuSession::kActionDevices);
            continue;
        }
        zktools::PrintErrLine(L"tessaline-emu: wait failed: " + zktools::ErrorText(::GetLastError()));
        server.Stop();
        return kEmuExitFailure;
    }
    server.Print(L"stopping: " + why);
    server.Stop();
    server.Print(L"stopped");
    return kEmuExitOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    EmuOptions options;
    std::wstring error;
    if (!ParseEmuOptions(args, &options, &error)) {
        zktools::PrintErrLine(L"tessaline-emu: " + error);
        zktools::PrintErrLine(L"try 'tessaline-emu --help'");
        return kEmuExitUsage;
    }
    if (options.help) {
        zktools::PrintText(EmuUsage());
        return kEmuExitOk;
    }
    if (!options.signalName.empty()) return Signal(options);

    CHandleHolder stopRequested(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CHandleHolder stopped(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopRequested.is_valid() || !stopped.is_valid()) {
        zktools::PrintErrLine(L"tessaline-emu: " + zktools::ErrorText(::GetLastError()));
        return kEmuExitFailure;
    }
    g_stopRequested = stopRequested.get();
    g_stopped = stopped.get();
    ::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
    const int code = Run(options);
    ::SetEvent(stopped.get());
    ::SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
    g_stopRequested = nullptr;
    g_stopped = nullptr;
    return code;
}
