// The library's one connection to the Tessaline service: tells the service
// the caller's session on every new connection, turns its notifications into
// callbacks and carries the four requests behind the exports. Built from
// parts: the connection (the keeper, and on each channel the reader and the
// writer), the pending requests, and the delivery queue whose thread makes
// the callbacks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "pipes/DeliveryQueue.h"
#include "pipes/PendingRequests.h"
#include "pipes/SinglePipeClient.h"
#include "support/PipeIdentity.h"
#include "virt/api/SndCodes.h"
#include "virt/api/zksndapi.h"

class CZkLogger;

// The service's pipe, without the "\\.\pipe\" prefix.
extern const wchar_t kSndServicePipeName[];

// What the client is handed instead of reaching for the library's globals.
struct SndClientSetup {
    const wchar_t* pipeName = nullptr;  // null: the service's pipe
    std::shared_ptr<CZkLogger> logger;  // may be null; the client keeps its share while it lives
    // Before each attempt while there is no connection: false holds the
    // attempt back (the library's teardowns on other threads are not over). Null: none.
    bool (*mayConnect)() = nullptr;
};

class CSndApiPipeClient : private IPipeClientOwner, private IDeliveryOwner {
public:
    // sa may be null.
    CSndApiPipeClient(std::unique_ptr<CPipeSecurity> sa, const SndClientSetup& setup);
    virtual ~CSndApiPipeClient();
    CSndApiPipeClient(const CSndApiPipeClient&) = delete;
    CSndApiPipeClient& operator=(const CSndApiPipeClient&) = delete;

    // Makes what a stop signals, before the client is shared: 0, or the Windows error.
    uint32_t Prepare() { return m_connection.Prepare(); }
    // Starts the delivery thread and the connection (its first attempt on
    // this thread). 0, or the error of the failed step (the delivery thread
    // may be left running: the next start goes on with it). A started client
    // is left alone (0); one stopped before or during the start gives 1223.
    uint32_t Start();
    // Ends every wait at once (waiting requests return 1460, the keeper and
    // the retries see the stop) without waiting for anything: the first step
    // of a teardown, which then waits for the calls in flight and Stops.
    void Interrupt();
    // Interrupt, then the connection and the delivery thread end.
    void Stop();
    // Ends the current connection without waiting for anything (its reader
    // releases it): for a teardown that cannot Stop the client yet.
    void DropConnection() { m_connection.Disconnect(); }

    // Callback 9's pointer has at least this many readable bytes, zero after the payload.
    static const uint32_t kServerInfoMinBytes = 4096;

    // Each returns an API status.
    uint32_t ApiGetDeviceList();
    uint32_t ApiSetDefaultDevice(uint32_t device);
    uint32_t GetSettings(void* settings);
    uint32_t SetSettings(const void* settings);

    // Installs callback and context as one pair: the client's threads read
    // them, as one pair too, while the application may be re-initialising.
    void SetCallback(ZkSndNotifyCallback callback, void* context);
    // Export calls using this client now (the exports' rundown guard).
    std::atomic<uint32_t>& CallsInFlight() { return m_callsInFlight; }
    // True on a thread that is inside the application's callback right now.
    static bool InCallback();

private:
    // ---- The connection's steps and the channel's messages (IPipeClientOwner)
    // Identification unless an administrator lends more: from the library's
    // security values as last read.
    DWORD PipeOpenFlags() override;
    // Reads the library's security values for the connection being made (the
    // level and the servers AcceptServer takes).
    DWORD ConfirmOpenFlags() override;
    // Talks only to a server of an accepted account; a refusal is logged as an error.
    bool AcceptServer(HANDLE pipe) override;
    // Before the new connection's reader starts (no client lock held): a new
    // epoch for its notifications, and its story begun (BeginStory).
    void OnNewConnection() override;
    uint32_t OnInitConnection() override;
    // One WARNING line on the first failure and on each change of reason,
    // then at most one summary a minute (CLogThrottle).
    void OnConnectFailed(uint32_t failureCount, const lumlib::LumFailure& cause) override;
    // Waits, attempt by attempt, until the teardowns finished on retirement
    // threads are over (none is joined while it runs).
    bool MayAttempt() override;
    // The first failed attempt of the process (before any connection) hands
    // the not-connected notice to the delivery queue.
    void OnAttemptDone(uint32_t result) override;
    void OnConnectionClosed() override;
    // On the thread reading the pipe: a reply goes to its waiting request, a
    // notification to the delivery queue (queued with its read's others at
    // OnMessagesEnd); a message too short for a request number drops the connection.
    void OnMessage(const uint8_t* data, uint32_t size) override;
    void OnMessagesEnd() override;
    bool RepliesAwaited() override { return m_pending.AnyLeftToReader(); }
    void OnConnectionLost(const lumlib::LumFailure& cause) override;
    void OnFrameRefused(uint32_t length) override;
    void OnWriteStalled() override;

    // ---- The delivery thread (IDeliveryOwner)
    // A notification of the announced connection goes to OnNotification; one
    // of a connection already ended is dropped and counted; one of the
    // connection being announced waits for its 8.
    void OnDelivery(const uint8_t* message, uint32_t size, uint64_t epoch) override;
    void OnNotificationsDropped(uint32_t count, uint64_t bytes, uint32_t total) override;
    // Device records are a group ended by the list's end, server information
    // a latest block (CTransferBuffer::BlockKind).
    CTransferBuffer::BlockKind NotificationKind(const uint8_t* message, uint32_t size) override;
    void OnNotification(const uint8_t* message, uint32_t length);

    bool IsStopped() const { return m_connection.IsStopped(); }
    // Calls the application's callback, unless the client is being torn
    // down or there is none: false then. Any exception escaping it is caught
    // and logged (CallGuarded), throttled per callback code and exception code.
    bool Notify(uint32_t code, uintptr_t param);
    // An ERROR line of that kind through set (CLogThrottleSet): the line, or
    // its summary, or nothing. Takes m_storyLock.
    void LogError(CLogThrottleSet& set, uint64_t kind, const wchar_t* format, ...);
    // Callback 6 for the connection that callback 8 announced, exactly once.
    void NotifyLost();
    // Whether the connection's 6 is owed (its 8 was told), marking the loss seen: true once per connection.
    bool TakeLoss();
    void NotifyServerInfo(const uint8_t* payload, uint32_t length);
    uint32_t SendOneWay(const uint8_t* message, uint32_t length);
    // Sends a numbered request of size bytes (written into its frame); a
    // reply of status OK with at least minReplyLength bytes fills record (when
    // not null) with the bytes after its header, on the thread reading the
    // pipe; any failure leaves record untouched.
    // *code: the service's status in the reply, else the request's own error.
    uint32_t Exchange(const IMessageSource& request, uint32_t size, uint32_t minReplyLength, void* record, uint32_t* code);
    // Returns status; a failure is logged as one WARNING line naming the
    // export and the underlying code, rate-limited like the failed attempts.
    uint32_t Finish(const wchar_t* exportName, uint32_t status, uint32_t code);
    // This side ends the connection for reason (the first one given counts).
    void SetEndReason(const wchar_t* reason);
    // What ended the connection, as its channel saw it (the first one given counts).
    void NoteLossCause(const lumlib::LumFailure& cause);
    // A story for the new connection, with no end reason and no cause yet.
    void BeginStory();
    // Under m_storyLock: the INFO line that tells the current connection was
    // made, once, before any other line of its story.
    void TellConnected();
    // The WARNING line for the connection that just ended, once.
    void LogConnectionEnded();

    // The connection's story, under m_storyLock: when the current connection
    // was made (0: none), since when there has been none (0: never had one
    // nor failed), why this side ended it, what the channel said, who served it.
    lumlib::unique_critical_section m_storyLock;
    ULONGLONG m_connectedAt = 0;
    ULONGLONG m_downSince = 0;
    const wchar_t* m_endReason = nullptr;
    lumlib::LumFailure m_lossCause;
    bool m_lossCauseKnown = false;
    // What the connected line tells: the failed attempts and the time without
    // a connection before it, and whether it has been written.
    struct MadeAfter {
        uint32_t attempts;
        ULONGLONG downMs;
        bool wasDown, told;
    } m_made = {};
    uint32_t m_serverProcessId = 0;
    wchar_t m_serverSid[192] = {};
    ULONG m_pipeSession = 0;
    bool m_pipeSessionKnown = false;
    CLogThrottle m_connectThrottle;
    CLogThrottle m_callThrottle;
    // Calls have failed since the last success (m_callThrottle's story is
    // open): set and cleared under m_storyLock, read without it by a success,
    // which then has no story to end and takes no lock.
    std::atomic<bool> m_callsFailing{false};
    CLogThrottleSet m_callbackErrors;  // by callback code and exception code
    CLogThrottleSet m_serverErrors;    // refused servers, by account and error
    CLogThrottleSet m_streamErrors;    // refused frames, stalls, drops, unusable notifications

    uint32_t m_sessionId;
    // Pairs callbacks 8 and 6: set (under the lock, with callback 8) when a
    // connection is announced, cleared by the one callback 6 that ends it.
    lumlib::unique_critical_section m_pairLock;
    bool m_announced = false;
    // The current connection's end was told (its 6, if its 8 had come):
    // cleared as each connection begins, before its reader runs.
    bool m_lossSeen = false;
    // Orders callback 8 with the delivery thread's callbacks: held by the
    // delivery thread through each notification's callback, and by the
    // connecting thread (after m_pairLock) through callback 8, so nothing of
    // an ended connection is handed over once the next one's 8 has begun.
    lumlib::unique_critical_section m_deliveryLock;
    CONDITION_VARIABLE m_announcedChanged = CONDITION_VARIABLE_INIT;  // with m_deliveryLock
    uint64_t m_announcedEpoch = 0;  // under m_deliveryLock: the transfer epoch of the last 8
    // The process's user, read at the server check until it is known (under the attempt lock).
    std::wstring m_callerSid;
    // Of the attempt in progress (attempts run one at a time).
    lumlib::PipeSecuritySettings m_pipeSettings;
    bool m_pipeSettingsRead = false;
    std::atomic<uint32_t> m_callsInFlight{0};
    const std::shared_ptr<CZkLogger> m_logger;
    bool (*const m_mayConnect)();
    std::atomic<bool> m_startedOnce{false};  // the connection was started (or is being started)
    std::atomic<bool> m_announcedOnce{false};  // an 8 was told: a stop then leaves a start's 0
    lumlib::srw_lock m_callbackLock;  // held only to copy or set the pair
    ZkSndNotifyCallback m_callback = nullptr;
    void* m_callbackContext = nullptr;

    // The parts; the connection last, so that its threads, which call into
    // the others, end first.
    CPendingRequests m_pending;
    CDeliveryQueue m_delivery;
    CSinglePipeClient m_connection;

    // Process-wide: the not-connected notice was given or a connection made.
    static std::atomic<bool> s_noticeGiven;
};
