// A real named-pipe server for tests, on the emulator's server core
// (tools/tessaline-emu/PipeServer.h): overlapped, byte mode, one thread per
// connected client. It records every frame it reads (4-byte little-endian
// length, then the payload), writes whole and cut frames on request, ends a
// client's connection on request, and can answer each frame through a
// responder callback. For a server that answers like the service, with
// faults, see HostileService.h.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/lumlib.h"
#include "tests/support/Observed.h"
#include "tools/tessaline-emu/PipeServer.h"

namespace zk_testkit {

// The service's well-known pipe name (without the "\\.\pipe\" prefix).
extern const wchar_t kServicePipeName[];

// A pipe name that no other test (or test process) uses at the same time.
std::wstring UniquePipeName(const wchar_t* tag);

class CTestPipeServer {
public:
    using Bytes = std::vector<uint8_t>;
    // Called once per received frame, in order, on the thread that read it
    // (which then cannot end that client's connection: it waits for the
    // responder to return).
    using Responder = std::function<void(CTestPipeServer& server, size_t client, const std::vector<uint8_t>& frame)>;

    // name is without the "\\.\pipe\" prefix. refuseClients makes the instances
    // inbound-only, so a client opening for reading and writing is refused with
    // ERROR_ACCESS_DENIED (5) like a caller the service does not admit (Wine
    // does not enforce pipe DACLs; this works on both).
    explicit CTestPipeServer(std::wstring name = kServicePipeName, bool refuseClients = false);
    ~CTestPipeServer() { Stop(); }

    // Creates the first instance (on the calling thread, so a client may open
    // as soon as Start returns) and the threads; false when that failed. Once
    // per server.
    bool Start() { return m_server.Start() == ERROR_SUCCESS; }
    // Ends every connection, closes every instance and joins every thread.
    // Recorded frames stay readable.
    void Stop() { m_server.Stop(); }
    const std::wstring& Name() const { return m_server.Config().name; }

    // Clients are numbered 0, 1, ... in the order their connections were
    // accepted, which need not be the order in which they opened: open one
    // at a time when it matters.
    bool WaitForClients(size_t count, DWORD timeoutMs) { return m_state.WaitFor([&] { return m_clients.size() >= count; }, timeoutMs); }
    size_t ClientCount() { return m_state.Read([&] { return m_clients.size(); }); }
    // Waits until the connection has ended, from either side.
    bool WaitForClientGone(size_t c, DWORD timeoutMs) {
        return m_state.WaitFor([&] { return c < m_clients.size() && m_clients[c].gone; }, timeoutMs);
    }
    // Ends a connection from the server side (CloseHandle: the client reads
    // what was sent, then sees 109) without waiting, so a responder may end
    // its own client's; false when there is no such client.
    bool EndClient(size_t client);
    // The same, then waits: true once it has ended.
    bool CloseClient(size_t client, DWORD timeoutMs = 10000) { return EndClient(client) && WaitForClientGone(client, timeoutMs); }

    // Writes one frame in one piece; blocks while the client has not read what
    // does not fit into the pipe's buffer. false when the client is gone or
    // the write failed or took longer than 10 s.
    bool WriteFrame(size_t client, const void* data, uint32_t size);
    bool WriteFrame(size_t client, const Bytes& payload) { return WriteFrame(client, payload.data(), uint32_t(payload.size())); }

    // Frames read from every client, in arrival order.
    bool WaitForFrames(size_t count, DWORD timeoutMs) { return m_state.WaitFor([&] { return m_frames.size() >= count; }, timeoutMs); }
    Bytes Frame(size_t i) { return m_state.Read([&] { return i < m_frames.size() ? m_frames[i] : Bytes(); }); }
    size_t FrameCount() { return m_state.Read([&] { return m_frames.size(); }); }
    uint64_t BytesReceived(size_t client) { auto s = Session(client); return s ? s->BytesRead() : 0; }  // every byte read, lengths included

    // Answers every frame read from now on (nullptr: none).
    void SetResponder(Responder responder) { m_state.Read([&] { m_responder = std::move(responder); }); }

private:
    struct Handler;
    struct Client { std::shared_ptr<tessaline_emu::CPipeSession> session; bool gone = false; };
    std::shared_ptr<tessaline_emu::CPipeSession> Session(size_t i) {
        return m_state.Read([&] { return i < m_clients.size() ? m_clients[i].session : nullptr; });
    }

    tessaline_emu::CPipeServer m_server;
    CObserved m_state;  // guards everything below; a change of the clients or frames wakes their waiters
    std::vector<Client> m_clients;
    std::vector<std::vector<uint8_t>> m_frames;
    Responder m_responder;
};

}  // namespace zk_testkit
