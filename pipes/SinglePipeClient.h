// The client end of one named pipe that keeps itself connected: a keeper
// thread reconnects once a second, broken channels are retired and deleted
// once their threads have ended.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <set>

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
    // An attempt failed before a channel existed; cause holds the error and,
    // when a step raised, its module, line and text (a refused server:
    // kPipeClientModule, kLineServerRefused).
    virtual void OnConnectFailed(uint32_t /*failureCount*/, const lumlib::LumFailure& /*cause*/) {}
    virtual uint32_t Connect();
    virtual uint32_t GetStatus() { return m_status; }
    // The CreateFileW flags of the next open.
    virtual DWORD PipeOpenFlags() { return FILE_FLAG_OVERLAPPED; }
    // Runs on a newly opened pipe before anything is read or written, under
    // the attempt lock (not the client lock). false refuses the server: the
    // pipe is closed and the attempt counts as failed (Connect returns 2250,
    // never 5, so a refused server cannot make the client stop for good).
    virtual bool AcceptServer(HANDLE /*pipe*/) { return true; }

    // Creates the stop event, the client lock and KeeperThread, then makes the
    // first attempt on the calling thread. 0, or the error of the failed step.
    // A started or stopped client is left alone (0).
    uint32_t Start();

    // Introspection for tests.
    uint32_t GetFailureCount() const { return m_failureCount; }
    size_t GetRetiredCount();
    bool HasChannel();

    static const wchar_t kServicePipeName[];
    static const wchar_t kPipeClientModule[];
    static const uint32_t kLineServerRefused = 110;  // AcceptServer said no

protected:
    static unsigned __stdcall KeeperThread(void* self);
    // The client's stop event (the keeper's): null before Start.
    HANDLE StopEvent() const { return m_keeper.StopEvent(); }
    // Start's steps 2 to 6 (stop event, client lock, keeper, first attempt).
    uint32_t StartKeeper();
    // The keeper makes no attempt for the next ms milliseconds (a service
    // that has just dropped the connection gets a moment).
    void PauseAttempts(DWORD ms);
    // Detaches a channel made by Connect when it is still current and deletes it
    // (outside the client lock: its threads may be waiting for that lock).
    void DropNewChannel(CSinglePipeChannel* channel);
    bool IsStopped() const { return ::InterlockedCompareExchange(const_cast<volatile LONG*>(&m_stopped), 0, 0) != 0; }

    wchar_t m_pipeName[256];
    volatile uint32_t m_failureCount;
    volatile uint32_t m_status;
    std::unique_ptr<CPipeSecurity> m_security;
    // One connection attempt at a time, held through the open, the server
    // check and OnInitConnection; taken before the client lock. Operations
    // never take it, so none waits for a pipe.
    lumlib::unique_critical_section m_attemptLock;
    lumlib::unique_critical_section m_clientLock;  // before the channel's locks
    volatile LONG64 m_noAttemptBefore = 0;  // GetTickCount64 value, PauseAttempts
    volatile LONG m_clientLockReady = 0;  // set by StartKeeper: the client was started
    bool IsStarted() const { return ::InterlockedCompareExchange(const_cast<volatile LONG*>(&m_clientLockReady), 0, 0) != 0; }
    CSinglePipeChannel* m_channel;
    std::set<CSinglePipeChannel*> m_retired;
    lumlib::CWorkerThread m_keeper;  // KeeperThread; its stop event is the client's
    volatile LONG m_stopped;  // set by Stop; a stopped client is not started again
};
