// The client end of one named pipe that keeps itself connected: a keeper
// thread reconnects once a second while there is no connection and sleeps
// while there is one; broken channels are retired and deleted once their
// threads have ended.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>

#include "pipes/Channel.h"
#include "pipes/Connection.h"
#include "pipes/TransferBuffer.h"
#include "support/SecurityAttributes.h"
#include "support/WorkerThread.h"
#include "support/lumlib.h"

class CSinglePipeClient : public CPipeClient, public CTransferBuffer, public IChannelOwner {
public:
    // sa may be null; the client owns the pipe's security record from here on.
    explicit CSinglePipeClient(std::unique_ptr<CPipeSecurity> sa);
    ~CSinglePipeClient() override;

    // Virtual operations, in table order after CConnectionOwner's.
    void OnConnectionClosed(CConnection* connection) override;
    virtual uint32_t Send(const void* data, uint32_t length);
    virtual uint32_t Post(const void* data, uint32_t length);
    virtual void Disconnect();
    void OnMessage(const uint8_t* data, uint32_t size) override = 0;
    virtual uint32_t OnInitConnection() { return 1; }
    void OnConnectionLost() override {}
    virtual void Stop();
    // An attempt failed before a channel existed; cause holds the error, the
    // reason (a refused server: kServerRefused) and the failed step's module and line.
    virtual void OnConnectFailed(uint32_t /*failureCount*/, const lumlib::LumFailure& /*cause*/) {}
    virtual uint32_t Connect();
    virtual uint32_t GetStatus() { return m_status; }
    // The CreateFileW flags of the next open: asked at every attempt, so
    // cheap (a subclass keeps what it read).
    virtual DWORD PipeOpenFlags() { return FILE_FLAG_OVERLAPPED; }
    // Runs on a newly opened pipe before anything is read or written, under
    // the attempt lock (not the client lock). false refuses the server: the
    // pipe is closed and the attempt counts as failed (Connect returns 2250,
    // never 5, so a refused server cannot make the client stop for good).
    virtual bool AcceptServer(HANDLE /*pipe*/) { return true; }
    // Once an open found the pipe, before AcceptServer: the flags its
    // connection must have (a subclass reads its settings here, so a service
    // that is away costs no read). When they differ from the open's, that
    // pipe is closed unannounced and opened again with these.
    virtual DWORD ConfirmOpenFlags() { return PipeOpenFlags(); }

    // Creates the stop event, the client lock and KeeperThread, then makes the
    // first attempt on the calling thread. 0, or the error of the failed step.
    // A started or stopped client is left alone (0).
    uint32_t Start();

    // Introspection for tests.
    uint32_t GetFailureCount() const { return m_failureCount; }
    size_t GetRetiredCount();
    bool HasChannel();

    static const wchar_t kServicePipeName[];

protected:
    static unsigned __stdcall KeeperThread(void* self);
    // The client's stop event (the keeper's): null before Start.
    HANDLE StopEvent() const { return m_keeper.StopEvent(); }
    bool KeeperStarted() const { return m_keeper.IsStarted(); }
    // Start's steps 2 to 6 (stop event, client lock, keeper, first attempt).
    uint32_t StartKeeper();
    // Marks the client stopped and wakes the keeper to see it: the first step
    // of Stop, also taken alone to end every wait at once.
    void MarkStopped();
    // The keeper makes no attempt for the next ms milliseconds (a service
    // that has just dropped the connection gets a moment).
    void PauseAttempts(DWORD ms);
    // Whole-message read shared by Receive and ReceiveAlloc (the channel's TakeMessage).
    uint32_t TakeMessage(uint8_t** buffer, uint32_t* length, bool allocate);
    bool IsStopped() const { return m_stopped.load(); }
    bool IsStarted() const { return m_started.load(); }

    wchar_t m_pipeName[256];

private:
    // Connect inside the keeper's error boundary: whatever an attempt raises
    // (no memory in an override), it counts as a failed attempt.
    uint32_t GuardedConnect();
    // Waits for the next attempt: while connected (nothing retired) until the
    // connection ends, then the one-second cadence and any pause. false: stop.
    bool AwaitNextAttempt();
    // Connected, with no retired channel waiting for its threads.
    bool IsIdleConnected();
    // Deletes the retired channels whose threads have ended.
    void SweepRetired();
    // Opens the pipe and checks its server; null with *cause on failure.
    std::unique_ptr<CPipeConnection> OpenChecked(lumlib::LumFailure* cause);
    // Runs a channel on the opened connection (taken from opened) and
    // initialises it: 0, 5 or 2250. A stopped client leaves opened alone and
    // fills *cause.
    uint32_t InstallChannel(std::unique_ptr<CPipeConnection>& opened, lumlib::LumFailure* cause);
    // Detaches a channel made by Connect when it is still current and deletes it
    // (outside the client lock: its threads may be waiting for that lock).
    void DropNewChannel(CSinglePipeChannel* channel);
    // The current channel went away: the keeper, perhaps asleep, takes over.
    void WakeKeeper() { ::SetEvent(m_connectionEnded.get()); }

    std::atomic<uint32_t> m_failureCount{0};
    std::atomic<uint32_t> m_status{ERROR_NOT_CONNECTED};
    std::unique_ptr<CPipeSecurity> m_security;
    // One connection attempt at a time, held through the open, the server
    // check and OnInitConnection; taken before the client lock. Operations
    // never take it, so none waits for a pipe.
    lumlib::unique_critical_section m_attemptLock;
    lumlib::unique_critical_section m_clientLock;  // before the channel's locks
    std::atomic<ULONGLONG> m_noAttemptBefore{0};  // GetTickCount64 value, PauseAttempts
    std::atomic<bool> m_started{false};  // set by StartKeeper
    std::atomic<bool> m_stopped{false};  // set by Stop; a stopped client is not started again
    std::unique_ptr<CSinglePipeChannel> m_channel;  // under m_clientLock
    // Under m_clientLock: channels whose connection ended, until their threads have.
    std::list<std::unique_ptr<CSinglePipeChannel>> m_retired;
    // Auto-reset, set when the current channel goes: the connected keeper
    // sleeps on it and the stop event, so it costs nothing while connected.
    CHandleHolder m_connectionEnded;
    lumlib::CWorkerThread m_keeper;  // KeeperThread; its stop event is the client's
};
