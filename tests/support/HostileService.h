// The hostile-service kit: the emulated service (tools/tessaline-emu) on a
// pipe, answering like the real one, with one fault selected per test. A
// table-driven test runs the library against each fault and checks that it
// neither hangs nor grows without bound. The kit serves the emulator's
// sessions on a server core of its own, so a test can also write raw bytes
// on the first connection (Write): bad frames, storms of notifications.
//
//   CHostileService service(EmuFault::kRawLength);       // on the service's pipe
//   ASSERT_TRUE(service.Start());                          // served when it returns
//   ... run the library ...
//   service.WaitForConnections(1, 5000);                   // the service's traffic lines, waited for
//   service.Traffic(L"<- nCmdSetSessionId", 1, 5000);      // what the library asked, as the emulator prints it
//
// Faults: the emulator's own (tessaline-emu --fault, EmuOptions.h):
//   kNone              answers like the service
//   kStopReading       never reads: the client's writes fill the pipe (4 KiB each way here) and then wait
//   kShortFrames       every message goes out cut to 8 bytes (its size field says 8; a reply keeps
//                      its request number), shorter than the 12 bytes a client reads of any message
//   kRawLength         the first message (the greeting) is replaced by a bare length field
//                      0xFFFFFFF0 and then nothing
//   kHugeNotification  a 64 MiB device notification before the greeting
//   kSlowReplies       replies to numbered requests come 4 s late (after the client's 3-second
//                      wait); notifications come at once
//   kChurn             every connection is greeted and then broken at once
// and the kit's busy only instance: one instance only, nDefaultTimeOut ~24 days, held by a client
// of the kit from Start on: opening fails with ERROR_PIPE_BUSY and WaitNamedPipeW with the default
// wait would wait for weeks.
//
// Servers in one Wine prefix share the pipe namespace: tests that serve the
// service's pipe must not run in parallel with each other.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/Holders.h"
#include "tests/support/Observed.h"
#include "tests/support/TestPipeServer.h"
#include "tools/tessaline-emu/EmuServer.h"
#include "tools/tessaline-emu/EmuState.h"

namespace zk_testkit {

using tessaline_emu::EmuFault;

class CHostileService {
public:
    explicit CHostileService(EmuFault fault = EmuFault::kNone, bool busyOnlyInstance = false);
    ~CHostileService() { Stop(); }  // (the kit holds a lock: it is not copied)

    // Serves the pipe; the busy only instance is taken when
    // this returns. False when the pipe could not be served.
    bool Start();
    // Ends every connection and joins every thread (the held instance goes too).
    void Stop();
    // Ends every connection of the service (a client hears callback 6); the
    // service goes on serving, so a client's keeper connects again.
    void DropConnections() { if (m_pipe) m_pipe->PostToAll(tessaline_emu::CEmuSession::kActionDrop); }

    // Writes bytes as they are on the first connection (on the caller's
    // thread, between the service's own messages); false once it has ended.
    bool Write(const void* bytes, size_t size);

    // Waits for count connections accepted since Start (the kit's own holder
    // not counted); false when timeoutMs passed first.
    bool WaitForConnections(uint32_t count, DWORD timeoutMs);
    // The service's traffic lines since Start (its connections, their ends
    // ("disconnected") and the requests it received, as tessaline-emu prints them: "... [client 1] <-
    // nCmdSetDefaultDevice (8): device 3", and " [unusual: ...]" after a
    // request whose sizes disagree) that contain text, in order; waits up to
    // timeoutMs for count of them (fewer come back when they did not come).
    std::vector<std::wstring> Traffic(const std::wstring& text, size_t count, DWORD timeoutMs);

private:
    const bool m_busyOnlyInstance;
    tessaline_emu::EmuOptions m_options;
    std::unique_ptr<tessaline_emu::CEmuState> m_state;
    std::unique_ptr<tessaline_emu::CEmuServer> m_server;  // unstarted: its sessions' options, state and counters
    std::unique_ptr<tessaline_emu::CPipeServer> m_pipe;   // serves those sessions
    CObserved m_observed;  // guards m_first and m_traffic; a traffic line wakes Traffic's waiters
    std::shared_ptr<tessaline_emu::CPipeSession> m_first;
    std::vector<std::wstring> m_traffic;
    CHandleHolder m_held;  // the kit's client end of the busy only instance
};

}  // namespace zk_testkit
