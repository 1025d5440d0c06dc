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

int BadFile(const std::wstring& error) {
    zktools::PrintErrLine(L"tessaline-emu: " + error);
    return kEmuExitBadFile;
}

// Control events: auto-reset, one per action, in kControlActions order; down is a semaphore whose count
// is the outage's seconds. False (with the message printed) when a name is taken.
bool CreateControls(const std::wstring& control, std::vector<CHandleHolder>* controls) {
    if (control.empty()) return true;
    for (size_t i = 0; i < kControlActionCount; ++i) {
        const std::wstring name = ControlEventName(control, kControlActions[i]);
        const bool down = std::wstring(kControlActions[i]) == L"down";
        CHandleHolder event(down ? ::CreateSemaphoreW(nullptr, 0, static_cast<LONG>(kMaxDownSeconds), name.c_str())
                                 : ::CreateEventW(nullptr, FALSE, FALSE, name.c_str()));
        const DWORD error = ::GetLastError();
        if (!event.is_valid() || error == ERROR_ALREADY_EXISTS) {
            zktools::PrintErrLine(L"tessaline-emu: --control " + control +
                                  L": the name is taken (another emulator uses it?)");
            return false;
        }
        controls->push_back(std::move(event));
    }
    return true;
}

int StartServing(CEmuServer& server) {
    const DWORD error = server.Start();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY) {
        zktools::PrintErrLine(L"tessaline-emu: the pipe is already served (the service or another emulator runs)");
        return kEmuExitPipeBusy;
    }
    if (error != 0) {
        zktools::PrintErrLine(L"tessaline-emu: cannot create the pipe: " + zktools::ErrorText(error));
        return kEmuExitFailure;
    }
    return kEmuExitOk;
}

// NAME.ready tells a script or test that clients can connect now. It may have been created by the
// waiter already; it is set either way.
CHandleHolder SignalReady(const std::wstring& control) {
    CHandleHolder ready;
    if (control.empty()) return ready;
    ready.reset(::CreateEventW(nullptr, TRUE, FALSE, ControlEventName(control, L"ready").c_str()));
    if (ready.is_valid()) ::SetEvent(ready.get());
    return ready;
}

void ShowDevices(const std::vector<EmuDevice>& devices) {
    for (const EmuDevice& d : devices)
        zktools::PrintLine(zktools::Format(L"  device id %u: %s%s, \"%s\"", d.id, d.render ? L"render" : L"capture",
                                           d.def ? L", default" : L"", zktools::EscapeControls(d.name).c_str()));
    zktools::PrintLine(L"  press Ctrl+C to stop");
}

// The main thread while the emulator serves: Ctrl+C, the control events, --exit-after and the outages
// (the down action, --fault down).
class CRunLoop {
public:
    CRunLoop(const EmuOptions& options, CEmuServer& server, const std::vector<CHandleHolder>& controls)
        : m_options(options), m_server(server), m_deadline(::GetTickCount64() + options.exitAfterMs) {
        m_waits.push_back(g_stopRequested);
        for (const CHandleHolder& c : controls) m_waits.push_back(c.get());
        // --fault down: the first greeting starts the one outage.
        m_greeted = m_waits.size();
        if (options.fault == EmuFault::kDown) m_waits.push_back(server.GreetedEvent());
    }

    // Until the emulator stops: kEmuExitOk, or a failure's exit code.
    int Run() {
        int code = kGoOn;
        while (code == kGoOn) code = Turn();
        if (code != kEmuExitOk) return code;
        m_server.Print(L"stopping: " + m_why);
        m_server.Stop();
        m_server.Print(L"stopped");
        return kEmuExitOk;
    }

private:
    static const int kGoOn = -1;  // a turn that does not end the loop

    int Turn();
    DWORD Timeout() const;
    int OnTime();
    // A control action (index: its wait's); false when it is stop. *downSeconds: the outage it asks for.
    bool OnControl(size_t index, uint32_t* downSeconds);

    const EmuOptions& m_options;
    CEmuServer& m_server;
    std::vector<HANDLE> m_waits;  // stop requested, the control events, maybe the greeted event
    size_t m_greeted = 0;         // the greeted event's index, while waited for
    const ULONGLONG m_deadline;   // --exit-after
    ULONGLONG m_upAgain = 0;      // while away: when to serve again
    std::wstring m_why = L"stop requested";
};

int CRunLoop::Turn() {
    const DWORD w = ::WaitForMultipleObjects(static_cast<DWORD>(m_waits.size()), m_waits.data(), FALSE, Timeout());
    if (w == WAIT_TIMEOUT) return OnTime();
    if (w == WAIT_OBJECT_0) return kEmuExitOk;
    uint32_t downSeconds = 0;
    if (w == WAIT_OBJECT_0 + m_greeted && m_greeted < m_waits.size()) {
        m_waits.pop_back();  // once
        downSeconds = m_options.downSeconds;
        m_server.Print(L"fault: the service goes away");
    } else if (w > WAIT_OBJECT_0 && w < WAIT_OBJECT_0 + m_greeted) {
        if (!OnControl(w - WAIT_OBJECT_0, &downSeconds)) return kEmuExitOk;
    } else {
        zktools::PrintErrLine(L"tessaline-emu: wait failed: " + zktools::ErrorText(::GetLastError()));
        m_server.Stop();
        return kEmuExitFailure;
    }
    if (downSeconds != 0) {
        // Away: every connection ends and the pipe is gone until the time is up.
        m_server.Stop();
        m_upAgain = ::GetTickCount64() + 1000ull * downSeconds;
        m_server.Print(zktools::Format(L"away for %u s", downSeconds));
    }
    return kGoOn;
}

DWORD CRunLoop::Timeout() const {
    DWORD timeout = INFINITE;
    const ULONGLONG now = ::GetTickCount64();
    if (m_options.exitAfterMs != 0) timeout = now >= m_deadline ? 0 : static_cast<DWORD>(m_deadline - now);
    if (m_upAgain != 0) {
        const DWORD left = now >= m_upAgain ? 0 : static_cast<DWORD>(m_upAgain - now);
        if (left < timeout) timeout = left;
    }
    return timeout;
}

int CRunLoop::OnTime() {
    const ULONGLONG now = ::GetTickCount64();
    if (m_options.exitAfterMs != 0 && now >= m_deadline) {
        m_why = L"--exit-after reached";
        return kEmuExitOk;
    }
    if (m_upAgain == 0 || now < m_upAgain) return kGoOn;  // woken a tick early
    m_upAgain = 0;
    const DWORD again = m_server.Start();
    if (again != 0) {
        zktools::PrintErrLine(L"tessaline-emu: cannot serve the pipe again: " + zktools::ErrorText(again));
        return again == ERROR_ACCESS_DENIED || again == ERROR_PIPE_BUSY ? kEmuExitPipeBusy : kEmuExitFailure;
    }
    m_server.Print(L"back after the outage");
    return kGoOn;
}

bool CRunLoop::OnControl(size_t index, uint32_t* downSeconds) {
    const std::wstring action = kControlActions[index - 1];
    if (action == L"down") {
        // One second taken by the wait; the rest of the count are the others.
        *downSeconds = 1;
        while (::WaitForSingleObject(m_waits[index], 0) == WAIT_OBJECT_0) ++*downSeconds;
    }
    m_server.Print(L"control: " + action + (*downSeconds != 0 ? zktools::Format(L" %u", *downSeconds) : L""));
    if (action == L"stop") {
        m_why = L"stop signalled";
        return false;
    }
    if (action == L"drop") m_server.PostToAll(CEmuSession::kActionDrop);
    else if (action == L"unknown") m_server.PostToAll(CEmuSession::kActionUnknown);
    else if (action == L"devices" && !m_server.PostToAll(CEmuSession::kActionDevices))
        m_server.Print(L"   no client is connected: the next one gets the list");
    return true;
}

int Run(const EmuOptions& options) {
    std::vector<EmuDevice> devices = DefaultDevices();
    std::wstring error;
    if (!options.deviceFile.empty() && !LoadDeviceFile(options.deviceFile, &devices, &error)) return BadFile(error);
    CEmuState state(std::move(devices), options.settingsFile);
    if (!state.LoadSettings(&error)) return BadFile(error);
    std::vector<CHandleHolder> controls;
    if (!CreateControls(options.control, &controls)) return kEmuExitUsage;
    CEmuServer server(options, state);
    const int started = StartServing(server);
    if (started != kEmuExitOk) return started;
    const CHandleHolder ready = SignalReady(options.control);
    if (!options.quiet) ShowDevices(state.Devices());
    return CRunLoop(options, server, controls).Run();
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
