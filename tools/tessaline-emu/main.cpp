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
    const bool down = options.signalAction == L"down";
    // down: a semaphore released once per second of the outage; every other action: an event.
    CHandleHolder event(down ? ::OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, name.c_str())
                             : ::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
    if (!event.is_valid()) {
        zktools::PrintErrLine(L"tessaline-emu: no emulator runs with --control " + options.signalName);
        return kEmuExitNoTarget;
    }
    if (!(down ? ::ReleaseSemaphore(event.get(), static_cast<LONG>(options.signalSeconds), nullptr)
               : ::SetEvent(event.get()))) {
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

    // Control events: auto-reset, one per action, in kControlActions order;
    // down is a semaphore whose count is the outage's seconds.
    std::vector<CHandleHolder> controls;
    if (!options.control.empty()) {
        for (size_t i = 0; i < kControlActionCount; ++i) {
            const std::wstring name = ControlEventName(options.control, kControlActions[i]);
            const bool down = std::wstring(kControlActions[i]) == L"down";
            CHandleHolder event(down ? ::CreateSemaphoreW(nullptr, 0, static_cast<LONG>(kMaxDownSeconds), name.c_str())
                                     : ::CreateEventW(nullptr, FALSE, FALSE, name.c_str()));
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
                                               zktools::EscapeControls(d.name).c_str()));
        zktools::PrintLine(L"  press Ctrl+C to stop");
    }

    const ULONGLONG deadline = ::GetTickCount64() + options.exitAfterMs;
    std::vector<HANDLE> waits;
    waits.push_back(g_stopRequested);
    for (const CHandleHolder& c : controls) waits.push_back(c.get());
    // --fault down: the first greeting starts the one outage.
    const size_t greeted = waits.size();
    if (options.fault == EmuFault::kDown) waits.push_back(server.GreetedEvent());
    ULONGLONG upAgain = 0;  // while away: when to serve again
    std::wstring why = L"stop requested";
    for (;;) {
        DWORD timeout = INFINITE;
        const ULONGLONG now = ::GetTickCount64();
        if (options.exitAfterMs != 0) timeout = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        if (upAgain != 0) {
            const DWORD left = now >= upAgain ? 0 : static_cast<DWORD>(upAgain - now);
            if (left < timeout) timeout = left;
        }
        const DWORD w = ::WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, timeout);
        if (w == WAIT_TIMEOUT) {
            const ULONGLONG after = ::GetTickCount64();
            if (options.exitAfterMs != 0 && after >= deadline) {
                why = L"--exit-after reached";
                break;
            }
            if (upAgain == 0 || after < upAgain) continue;  // woken a tick early
            upAgain = 0;
            const DWORD again = server.Start();
            if (again != 0) {
                zktools::PrintErrLine(L"tessaline-emu: cannot serve the pipe again: " + zktools::ErrorText(again));
                return again == ERROR_ACCESS_DENIED || again == ERROR_PIPE_BUSY ? kEmuExitPipeBusy : kEmuExitFailure;
            }
            server.Print(L"back after the outage");
            continue;
        }
        if (w == WAIT_OBJECT_0) break;
        uint32_t downSeconds = 0;
        if (w == WAIT_OBJECT_0 + greeted && greeted < waits.size()) {
            waits.pop_back();  // once
            downSeconds = options.downSeconds;
            server.Print(L"fault: the service goes away");
        } else if (w > WAIT_OBJECT_0 && w < WAIT_OBJECT_0 + greeted) {
            const std::wstring action = kControlActions[w - WAIT_OBJECT_0 - 1];
            if (action == L"down") {
                // One second taken by the wait; the rest of the count are the others.
                downSeconds = 1;
                while (::WaitForSingleObject(waits[w - WAIT_OBJECT_0], 0) == WAIT_OBJECT_0) ++downSeconds;
            }
            server.Print(L"control: " + action + (downSeconds != 0 ? zktools::Format(L" %u", downSeconds) : L""));
            if (action == L"stop") {
                why = L"stop signalled";
                break;
            }
            if (action == L"drop") server.PostToAll(CEmuSession::kActionDrop);
            else if (action == L"unknown") server.PostToAll(CEmuSession::kActionUnknown);
            else if (action == L"devices" && !server.PostToAll(CEmuSession::kActionDevices))
                server.Print(L"   no client is connected: the next one gets the list");
        } else {
            zktools::PrintErrLine(L"tessaline-emu: wait failed: " + zktools::ErrorText(::GetLastError()));
            server.Stop();
            return kEmuExitFailure;
        }
        if (downSeconds != 0) {
            // Away: every connection ends and the pipe is gone until the time is up.
            server.Stop();
            upAgain = ::GetTickCount64() + 1000ull * downSeconds;
            server.Print(zktools::Format(L"away for %u s", downSeconds));
        }
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
    if (options.faultHelp) {
        zktools::PrintText(EmuFaultHelp());
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
