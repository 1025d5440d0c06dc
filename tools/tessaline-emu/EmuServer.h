// The emulator's pipe server: one listening pipe instance at a time, one
// thread per connected client, all answering from the shared CEmuState.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/lumlib.h"
#include "tools/tessaline-emu/EmuOptions.h"
#include "tools/tessaline-emu/EmuState.h"

namespace tessaline_emu {

class CEmuServer;

// One connected client. Its thread owns the pipe handle; other threads only
// post actions to it.
class CEmuSession {
public:
    enum Action : LONG { kActionDrop = 1, kActionUnknown = 2, kActionDevices = 4 };

    CEmuSession(CEmuServer* server, HANDLE pipe, unsigned number);
    ~CEmuSession();  // waits for the thread
    CEmuSession(const CEmuSession&) = delete;
    CEmuSession& operator=(const CEmuSession&) = delete;

    bool Start();
    void Post(LONG actions);
    bool Finished() const { return ::InterlockedCompareExchange(&m_finished, 0, 0) != 0; }
    unsigned Number() const { return m_number; }

private:
    static unsigned __stdcall ThreadMain(void* self);
    void Run();
    // Each returns false when the connection is gone and the session must end.
    bool HandleMessage(const std::vector<uint8_t>& message);
    bool RunActions();
    bool SendMessage(const uint8_t* message, size_t length, const std::wstring& what);
    bool SendServerInfo();
    bool SendUnknown();
    bool SendDeviceList();
    // Waits --delay before an answer; false when the emulator stops meanwhile.
    bool Delay();
    void Print(const std::wstring& text);

    CEmuServer* m_server;
    CHandleHolder m_pipe;
    unsigned m_number;
    CHandleHolder m_thread;
    CHandleHolder m_wake;        // auto-reset: actions were posted
    CHandleHolder m_readEvent;
    CHandleHolder m_writeEvent;
    volatile LONG m_actions = 0;
    mutable volatile LONG m_finished = 0;
    uint32_t m_received = 0;     // messages received on this connection
    uint32_t m_sessionId = 0xFFFFFFFFu;
    bool m_haveSessionId = false;
    std::wstring m_endReason;
};

class CEmuServer {
public:
    CEmuServer(const EmuOptions& options, CEmuState& state);
    ~CEmuServer();
    CEmuServer(const CEmuServer&) = delete;
    CEmuServer& operator=(const CEmuServer&) = delete;

    // Creates the first pipe instance and starts listening. Returns 0 or the
    // Windows error; ERROR_ACCESS_DENIED / ERROR_PIPE_BUSY mean the pipe is
    // already served by someone else.
    DWORD Start();
    // Ends every client connection and the listener; waits for all threads.
    void Stop();

    // Control actions, applied to every connected client.
    void PostToAll(LONG actions);
    size_t ClientCount();

    const EmuOptions& Options() const { return m_options; }
    CEmuState& State() { return m_state; }
    HANDLE StopEvent() const { return m_stop.get(); }
    void SessionEnded() { ::SetEvent(m_reap.get()); }
    void Print(const std::wstring& text);

private:
    static unsigned __stdcall ThreadMain(void* self);
    void Listen();
    HANDLE CreateInstance(bool first, DWORD* error);
    void Reap(bool all);

    const EmuOptions& m_options;
    CEmuState& m_state;
    std::wstring m_pipePath;
    PSECURITY_DESCRIPTOR m_descriptor = nullptr;
    SECURITY_ATTRIBUTES m_security;
    CHandleHolder m_stop;        // manual-reset: everything ends
    CHandleHolder m_reap;        // auto-reset: a session finished
    CHandleHolder m_thread;
    CHandleHolder m_firstInstance;
    CRITICAL_SECTION m_sessionsLock;
    std::vector<std::unique_ptr<CEmuSession>> m_sessions;
    unsigned m_nextNumber = 1;
};

}  // namespace tessaline_emu
