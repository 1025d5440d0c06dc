// The emulator's pipe server core, also driven by the test kit: named-pipe
// instances created one at a time by a listening thread, one session thread
// per connected client, frames cut with the library's CFrameReader. What is
// done with a connection is up to a handler, one per connection, made by a
// factory; the configuration also carries the transport faults the test kit
// needs (instance limit, default wait, a server that never reads).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pipes/FrameReader.h"
#include "support/Holders.h"
#include "support/WorkerThread.h"

namespace tessaline_emu {

class CPipeServer;
class CPipeSession;

// What happens on one connection. Every call comes on the connection's own
// thread, in order; returning false ends the connection (say why with
// CPipeSession::SetEndReason first).
class IPipeConnectionHandler {
public:
    virtual ~IPipeConnectionHandler() = default;
    virtual bool OnConnected(CPipeSession& session) = 0;
    virtual bool OnMessage(CPipeSession& session, const uint8_t* message, uint32_t length) = 0;
    // Bits given to CPipeSession::Post, gathered since the last call.
    virtual bool OnActions(CPipeSession& /*session*/, uint32_t /*actions*/) { return true; }
    // The connection has ended and its handle is closed.
    virtual void OnEnded(CPipeSession& /*session*/, const std::wstring& /*reason*/) {}
};

struct PipeServerConfig {
    std::wstring name;                              // without the "\\.\pipe\" prefix
    DWORD maxInstances = PIPE_UNLIMITED_INSTANCES;  // connections at once
    DWORD defaultTimeoutMs = 0;                     // what WaitNamedPipeW(NMPWAIT_USE_DEFAULT_WAIT) waits; 0: 50 ms
    DWORD bufferSize = 65536;                       // each direction
    bool firstInstance = true;     // refuse to start when someone serves the name already
    bool inboundOnly = false;      // clients opening for reading and writing are refused with 5
    bool rejectRemote = true;      // PIPE_REJECT_REMOTE_CLIENTS
    SECURITY_ATTRIBUTES* security = nullptr;  // of every instance; must outlive the server
    uint32_t maxFrame = kMaxFrameLength;      // a longer announced frame ends that connection
    bool readMessages = true;      // false: never read what clients send (a service that stops reading)
    std::function<void(const std::wstring&)> log;  // the server's own troubles; may be empty
};

// One connected client. The session thread reads and ends the connection;
// Write may be called from any thread.
class CPipeSession {
public:
    enum EndHow : LONG { kEndNone, kEndClose, kEndDisconnect };

    CPipeSession(CPipeServer* server, unsigned number);
    ~CPipeSession();  // joins the thread
    CPipeSession(const CPipeSession&) = delete;
    CPipeSession& operator=(const CPipeSession&) = delete;

    unsigned Number() const { return m_number; }
    // The Windows session of the client's process, as the pipe reports it.
    bool ClientSessionId(ULONG* id) const {
        *id = m_clientSession;
        return m_haveClientSession;
    }
    uint64_t BytesRead() const { return m_bytesRead.load(); }
    bool Finished() const { return m_finished.load(); }
    IPipeConnectionHandler* Handler() const { return m_handler.get(); }

    // Writes the bytes as they are (whole frames or any part of one). Waits
    // until written, the connection is ended, the server stops or timeoutMs
    // passed; the operation is cancelled and waited for in the last three cases.
    bool Write(const void* bytes, size_t size, DWORD timeoutMs = INFINITE);
    // Writes the message with its length in front, in one operation.
    bool SendMessage(const void* message, size_t length, DWORD timeoutMs = INFINITE);
    // Waits ms unless the connection is ended or the server stops first (false then).
    bool Pause(DWORD ms);
    // From any thread: the session thread ends the connection. kEndClose
    // closes the handle only (the client reads what was sent, then gets
    // ERROR_BROKEN_PIPE); kEndDisconnect calls DisconnectNamedPipe first (the
    // client loses what it had not read and gets ERROR_PIPE_NOT_CONNECTED).
    void End(EndHow how);
    // From any thread: the session thread passes the bits to OnActions.
    void Post(uint32_t actions);
    // Why End was called, for the session's end line.
    const wchar_t* EndingReason() const;
    void SetEndReason(const std::wstring& reason) { m_endReason = reason; }

private:
    friend class CPipeServer;
    static unsigned __stdcall ThreadMain(void* self);
    // Takes the connected instance (before Start).
    void Adopt(HANDLE pipe);
    bool Start(std::unique_ptr<IPipeConnectionHandler> handler);
    void Run();
    // One wait of the session thread and what it woke for; false when the connection ends (m_endReason says why).
    bool Turn();
    bool StartRead();
    bool FinishRead();
    // A read that failed: the reason, and whether the client went away; false.
    bool ReadFailed(DWORD error);
    bool TakeActions();
    bool ReadMessages(DWORD got);
    // Cancels a pending read, then closes the instance or gives it back to the listener.
    void Close();
    // Runs a handler call; one that raises ends the connection, nothing leaves the thread.
    template <class F>
    bool Guarded(F&& call);
    bool Join() { return m_thread.Join(); }

    CPipeServer* m_server;
    const unsigned m_number;
    CHandleHolder m_pipe;               // closed under m_writeLock, so never during a write
    lumlib::unique_critical_section m_writeLock;
    CHandleHolder m_wake;               // auto-reset: actions were posted
    CHandleHolder m_ending;             // manual-reset: End was called
    CHandleHolder m_readEvent;
    CHandleHolder m_writeEvent;         // used under m_writeLock
    lumlib::CWorkerThread m_thread;
    std::unique_ptr<IPipeConnectionHandler> m_handler;
    CFrameReader m_reader;
    std::vector<uint8_t> m_readBuffer;
    OVERLAPPED m_readOv{};              // session thread only, as the two below
    bool m_readPending = false;
    bool m_clientGone = false;          // the client closed its end: the instance may be used again
    std::atomic<uint32_t> m_actions{0};
    std::atomic<LONG> m_endHow{kEndNone};
    std::atomic<bool> m_finished{false};
    std::atomic<uint64_t> m_bytesRead{0};
    ULONG m_clientSession = 0;
    bool m_haveClientSession = false;
    std::wstring m_endReason;           // session thread only
};

class CPipeServer {
public:
    // Called on the listening thread for every accepted connection, before
    // its thread starts; the handler lives as long as the session.
    using HandlerFactory =
        std::function<std::unique_ptr<IPipeConnectionHandler>(const std::shared_ptr<CPipeSession>&)>;

    CPipeServer(PipeServerConfig config, HandlerFactory factory);
    ~CPipeServer();  // Stop
    CPipeServer(const CPipeServer&) = delete;
    CPipeServer& operator=(const CPipeServer&) = delete;

    // Creates the first instance on the calling thread (clients may open as
    // soon as this returns) and starts listening. 0, or the Windows error;
    // ERROR_PIPE_BUSY / ERROR_ACCESS_DENIED: the name is served already. A
    // stopped server may be started again; sessions are numbered on.
    DWORD Start();
    // Ends every connection (closing it) and joins every thread.
    void Stop();
    bool IsRunning() const { return m_listener.IsStarted(); }

    // The sessions still connected (for posting, ending and writing).
    std::vector<std::shared_ptr<CPipeSession>> Sessions();
    void PostToAll(uint32_t actions);
    // Ends every session (CPipeSession::End), also one waiting in a write to a client that reads nothing.
    void EndAll(CPipeSession::EndHow how);
    size_t ClientCount();

    const PipeServerConfig& Config() const { return m_config; }
    HANDLE StopEvent() const { return m_stop.get(); }
    void Log(const std::wstring& text) const {
        if (m_config.log) m_config.log(text);
    }

private:
    friend class CPipeSession;
    enum class Connect { kConnected, kFailed, kStop };
    static unsigned __stdcall ListenMain(void* self);
    void Listen();
    // A new instance to listen on; when none can be made, waits for a session's end or kRetryMs.
    // False when the server stops.
    bool RenewInstance(CHandleHolder& instance);
    // Waits for a client on the instance.
    Connect AwaitClient(HANDLE instance, HANDLE connectEvent);
    Connect AwaitPending(HANDLE instance, OVERLAPPED& ov);
    HANDLE CreateInstance(bool first, DWORD* error);
    // Takes the connected instance into a new session (raises on lack of memory, instance kept).
    void Accept(CHandleHolder& instance);
    void SessionEnded() { ::SetEvent(m_reap.get()); }
    // A disconnected instance, ready to listen again.
    void GiveBack(HANDLE instance);
    HANDLE TakeSpare();
    // Joins and drops ended sessions (all of them with all).
    void Reap(bool all);

    const PipeServerConfig m_config;
    const HandlerFactory m_factory;
    const std::wstring m_path;
    CHandleHolder m_stop;  // manual-reset: everything ends
    CHandleHolder m_reap;  // auto-reset: a session ended
    CHandleHolder m_firstInstance;
    lumlib::CWorkerThread m_listener;
    lumlib::unique_critical_section m_sessionsLock;
    std::vector<std::shared_ptr<CPipeSession>> m_sessions;
    CHandleHolder m_spare;  // under m_sessionsLock
    unsigned m_nextNumber = 1;
};

}  // namespace tessaline_emu
