// The emulated service: the pipe server core with one CEmuSession per
// connected client, all answering from the shared CEmuState.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "support/Holders.h"
#include "tools/tessaline-emu/EmuOptions.h"
#include "tools/tessaline-emu/EmuState.h"
#include "tools/tessaline-emu/PipeServer.h"

struct SndDecodedRequest;

namespace tessaline_emu {

class CEmuServer;

// The pipe's security: reading and writing for everyone, also at low
// integrity, but creating instances (FILE_CREATE_PIPE_INSTANCE) only for
// SYSTEM and the emulator's own user, so no other program can slip an
// instance of its own under the name.
class CServicePipeSecurity {
public:
    // Access everyone gets: read and write, without instance creation.
    static const DWORD kEveryoneAccess = FILE_GENERIC_READ | (FILE_GENERIC_WRITE & ~FILE_CREATE_PIPE_INSTANCE);

    // false when it cannot be built; attributes() stays null then.
    bool Build();
    SECURITY_ATTRIBUTES* attributes() { return m_descriptor.is_valid() ? &m_attributes : nullptr; }
    PSECURITY_DESCRIPTOR descriptor() const { return m_descriptor.get(); }

private:
    lumlib::unique_local_ptr<PSECURITY_DESCRIPTOR> m_descriptor;
    SECURITY_ATTRIBUTES m_attributes{};
};

// The service's side of one connection.
class CEmuSession : public IPipeConnectionHandler {
public:
    enum Action : uint32_t { kActionDrop = 1, kActionUnknown = 2, kActionDevices = 4 };

    explicit CEmuSession(CEmuServer* server) : m_server(server) {}

    bool OnConnected(CPipeSession& session) override;
    bool OnMessage(CPipeSession& session, const uint8_t* message, uint32_t length) override;
    bool OnActions(CPipeSession& session, uint32_t actions) override;
    void OnEnded(CPipeSession& session, const std::wstring& reason) override;

private:
    // One command the emulator knows: its name for traffic lines, what its line adds (may be null), and
    // its handler, which returns false when the connection is gone.
    struct CommandRow {
        uint32_t command;
        const wchar_t* name;
        std::wstring (CEmuSession::*detail)(const SndDecodedRequest& request);
        bool (CEmuSession::*handle)(const SndDecodedRequest& request);
    };
    static const CommandRow kCommands[];

    // The traffic line of a whole request, then its handler; false when the connection is gone.
    bool Dispatch(const SndDecodedRequest& request);
    std::wstring DescribeSessionId(const SndDecodedRequest& request);
    std::wstring DescribeDevice(const SndDecodedRequest& request);
    bool OnSetSessionId(const SndDecodedRequest& request);
    bool OnGetDeviceList(const SndDecodedRequest& request);
    bool OnSetDefaultDevice(const SndDecodedRequest& request);
    bool OnGetSettings(const SndDecodedRequest& request);
    bool OnSetSettings(const SndDecodedRequest& request);
    bool OnUnknownCommand(const SndDecodedRequest& request);
    // Sends the reply to a numbered request after --delay: "reply to request N: status S" plus note.
    bool Reply(const SndDecodedRequest& request, uint32_t status, const uint8_t* record, const std::wstring& note);
    // --withhold: true (after a line saying so) when the answer is kept back.
    bool Withheld(uint32_t bit, const wchar_t* what);

    // Each returns false when the connection is gone and the session must end.
    bool SendMessage(const uint8_t* message, size_t length, const std::wstring& what, bool reply = false);
    bool SendServerInfo();
    bool SendUnknown();
    bool SendDeviceList();
    bool SendHugeNotification();
    // Waits --delay before an answer; false when the emulator stops meanwhile.
    bool Delay();
    void Print(const std::wstring& text);

    CEmuServer* m_server;
    CPipeSession* m_session = nullptr;
    uint32_t m_received = 0;  // messages received on this connection
    uint32_t m_sessionId = 0xFFFFFFFFu;
    bool m_haveSessionId = false;
    bool m_streamBroken = false;  // kRawLength: the bare length field went out
};

class CEmuServer {
public:
    CEmuServer(const EmuOptions& options, CEmuState& state);
    ~CEmuServer();
    CEmuServer(const CEmuServer&) = delete;
    CEmuServer& operator=(const CEmuServer&) = delete;

    // Creates the first pipe instance and starts listening. 0 or the Windows
    // error; ERROR_ACCESS_DENIED / ERROR_PIPE_BUSY: someone serves the pipe.
    DWORD Start();
    // Ends every client connection and the listener; waits for all threads.
    void Stop();

    // Control actions, applied to every connected client. A device list asked
    // for while no client is connected goes to the next client, after its
    // greeting; false then (nobody was connected).
    bool PostToAll(uint32_t actions);
    size_t ClientCount() { return m_pipe.ClientCount(); }

    const EmuOptions& Options() const { return m_options; }
    CEmuState& State() { return m_state; }
    void Print(const std::wstring& text);

    // Traffic counters for tests: connections accepted and messages received
    // so far; the auto-reset event is set whenever either grows.
    uint32_t Connections() const { return m_connections.load(); }
    uint32_t Messages() const { return m_messages.load(); }
    HANDLE TrafficEvent() const { return m_traffic.get(); }
    // Manual-reset: some client has had its greeting (--fault down waits for it).
    HANDLE GreetedEvent() const { return m_greeted.get(); }

private:
    friend class CEmuSession;
    void Count(std::atomic<uint32_t>& counter) {
        ++counter;
        ::SetEvent(m_traffic.get());
    }
    void CountConnection() { Count(m_connections); }
    void CountMessage() { Count(m_messages); }
    void SetGreeted() { ::SetEvent(m_greeted.get()); }
    // Whether a device list waits for the next client; it is taken.
    bool TakePendingDevices() { return m_devicesPending.exchange(false); }

    const EmuOptions& m_options;
    CEmuState& m_state;
    CServicePipeSecurity m_security;
    CHandleHolder m_traffic;
    CHandleHolder m_greeted;
    std::atomic<bool> m_devicesPending{false};  // a device list waits for the next client
    std::atomic<uint32_t> m_connections{0};
    std::atomic<uint32_t> m_messages{0};
    CPipeServer m_pipe;  // last: its threads end before the rest goes
};


}  // namespace tessaline_emu
