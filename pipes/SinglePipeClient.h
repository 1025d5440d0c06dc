// The connection: the client end of one named pipe that keeps itself
// connected. Its keeper thread reconnects once a second while there is no
// connection and sleeps while there is one; broken channels are retired and
// deleted once their threads have ended. What it asks of and tells its owner
// goes through IPipeClientOwner.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "pipes/Channel.h"
#include "pipes/Connection.h"
#include "support/SecurityAttributes.h"
#include "support/WorkerThread.h"
#include "support/lumlib.h"

// The owner's side: the channel's messages and loss (IChannelOwner), and the
// steps of an attempt. Attempts run one at a time, on the keeper or on the
// thread of Start's first attempt.
class IPipeClientOwner : public IChannelOwner {
public:
    // The CreateFileW flags of the next open: asked at every attempt, so cheap.
    virtual DWORD PipeOpenFlags() { return FILE_FLAG_OVERLAPPED; }
    // Once an open found the pipe, before AcceptServer: the flags its
    // connection must have (the owner reads its settings here, so a service
    // that is away costs no read). When they differ from the open's, that
    // pipe is closed unannounced and opened again with these.
    virtual DWORD ConfirmOpenFlags() { return PipeOpenFlags(); }
    // Runs on a newly opened pipe before anything is read or written. false
    // refuses the server: the pipe is closed and the attempt counts as failed.
    virtual bool AcceptServer(HANDLE /*pipe*/) { return true; }
    // Once a new channel is made, before its reader starts and before it is
    // current (no client lock held): the old connection's reader gave its
    // last message before its channel was retired.
    virtual void OnNewConnection() {}
    // A new channel runs: 0 drops it again (the attempt fails, uncounted).
    virtual uint32_t OnInitConnection() { return 1; }
    // An attempt failed before a channel existed; cause holds the error, the
    // reason (a refused server: kServerRefused) and the failed step's module and line.
    virtual void OnConnectFailed(uint32_t /*failureCount*/, const lumlib::LumFailure& /*cause*/) {}
    // Before each attempt while there is no channel: false skips it (2250).
    virtual bool MayAttempt() { return true; }
    // After each attempt, with its result (0: connected).
    virtual void OnAttemptDone(uint32_t /*result*/) {}
    // The current channel's connection was released (lost or dropped); the
    // channel is retired right after this returns.
    virtual void OnConnectionClosed() {}

protected:
    ~IPipeClientOwner() = default;
};

class CSinglePipeClient final : private CConnectionOwner {
public:
    // pipeName without the "\\.\pipe\" prefix; sa may be null (the client
    // owns the pipe's security record from here on); owner outlives the client.
    CSinglePipeClient(const wchar_t* pipeName, std::unique_ptr<CPipeSecurity> sa, IPipeClientOwner* owner);
    // Stops a client its owner did not stop.
    ~CSinglePipeClient();
    CSinglePipeClient(const CSinglePipeClient&) = delete;
    CSinglePipeClient& operator=(const CSinglePipeClient&) = delete;

    // Makes the events a stop signals, before the client is shared: 0, or the Windows error.
    uint32_t Prepare();
    // Creates the keeper's thread, then makes the first attempt on the
    // calling thread. 0 whatever that attempt meets (the keeper goes on), or
    // the error of the keeper's event or thread that could not be made. A
    // started client is left alone (0); a stopped one gives 1223.
    uint32_t Start();
    // Sends one message on the current channel: 0, 2250 without a
    // connection (or a lost one), 87, 8 when the send queue refused it.
    uint32_t Send(const void* data, uint32_t length);
    // The same for a message written in place, straight into its frame.
    uint32_t Send(const IMessageSource& message, uint32_t length);
    // A caller waiting for a reply reads the current channel itself until
    // goal is reached (see CChannel::ReadAsCaller), when nobody else reads
    // it: true once it has; false when the reader reads (it hands the reply on).
    bool ReadForReply(IReadGoal& goal, ULONGLONG deadline);
    // Messages are due that no caller reads for (a request answered by
    // notifications): the connection's reader reads for them at once.
    void AskReader();
    // A caller waits for the reader to read its reply (CChannel::LeaveReplyToReader).
    void LeaveReplyToReader();
    // Drops the current connection; its reader releases it (OnConnectionClosed).
    void Disconnect();
    // True with what ended the current connection once it is lost (before
    // its reader has told the owner, or after); false after a Disconnect or a stop.
    bool CurrentLossCause(lumlib::LumFailure* cause);
    // True on a thread the next connection waits for: the one making an
    // attempt (the owner hearing of a new connection, or of its end at once)
    // or the current connection's reader (the owner hearing of its loss).
    bool BlocksNextConnection();
    // Marks the client stopped and wakes the keeper to see it: the first step
    // of Stop, also taken alone to end every wait at once.
    void MarkStopped();
    // Ends the keeper and every channel; waits for their threads.
    void Stop();
    // The keeper makes no attempt for the next ms milliseconds (a service
    // that has just dropped the connection gets a moment).
    void PauseAttempts(DWORD ms);

    // The client's stop event (the keeper's): null before Start.
    HANDLE StopEvent() const { return m_keeper.StopEvent(); }
    bool IsStopped() const { return m_stopped.load(); }
    bool IsStarted() const { return m_started.load(); }
    const wchar_t* PipeName() const { return m_pipeName.c_str(); }

    // Introspection for tests.
    uint32_t GetFailureCount() const { return m_failureCount; }
    bool HasChannel();

private:
    static unsigned __stdcall KeeperThread(void* self);
    // One attempt, inside the keeper's error boundary: whatever it raises
    // (no memory in the owner), it counts as a failed attempt.
    void GuardedAttempt();
    // The attempt: the owner's gate, Connect, the owner told of the result.
    uint32_t Attempt();
    uint32_t Connect();
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
    // fills *cause. A channel that cannot be made or started is a failed
    // attempt, counted and told (OnConnectFailed) with its cause.
    uint32_t InstallChannel(std::unique_ptr<CPipeConnection>& opened, lumlib::LumFailure* cause);
    // Detaches a channel made by Connect when it is still current and deletes it
    // (outside the client lock: its threads may be waiting for that lock).
    void DropNewChannel(CChannel* channel);
    // The current channel's connection was released: the owner hears of it,
    // the channel is retired and the keeper, perhaps asleep, takes over.
    void OnConnectionClosed() override;
    void WakeKeeper() { ::SetEvent(m_connectionEnded.get()); }

    const std::wstring m_pipeName;
    IPipeClientOwner* const m_owner;
    std::atomic<uint32_t> m_failureCount{0};
    std::unique_ptr<CPipeSecurity> m_security;
    // One connection attempt at a time, held through the open, the server
    // check and OnInitConnection; taken before the client lock. Operations
    // never take it, so none waits for a pipe.
    lumlib::unique_critical_section m_attemptLock;
    lumlib::unique_critical_section m_clientLock;  // before the channel's locks
    std::atomic<ULONGLONG> m_noAttemptBefore{0};  // GetTickCount64 value, PauseAttempts
    std::atomic<bool> m_started{false};  // set by Start
    std::atomic<bool> m_stopped{false};  // set by Stop; a stopped client is not started again
    std::unique_ptr<CChannel> m_channel;  // under m_clientLock
    std::atomic<DWORD> m_attemptThread{0};  // the thread making an attempt (one at a time), 0: none
    // Under m_clientLock: channels whose connection ended, until their threads have.
    std::list<std::unique_ptr<CChannel>> m_retired;
    // Auto-reset, set when the current channel goes: the connected keeper
    // sleeps on it and the stop event, so it costs nothing while connected.
    CHandleHolder m_connectionEnded;
    lumlib::CWorkerThread m_keeper;  // KeeperThread; its stop event is the client's
};
