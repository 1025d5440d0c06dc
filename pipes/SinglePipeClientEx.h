// Request/response exchanges on top of the single pipe client: numbered
// requests matched to their replies, everything else delivered to
// OnNotification on the client's own transfer thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <vector>

#include "pipes/SinglePipeClient.h"
#include "support/ByteBlock.h"

class CSinglePipeClientEx : public CSinglePipeClient {
public:
    struct PendingRequest {
        uint32_t requestId = 0;
        uint32_t losses = 0;        // the client's loss count when it was sent
        bool answered = false;      // a reply (usable or not) arrived
        lumlib::CByteBlock reply;   // copy of the reply, or empty
        // Its caller's own wait slot (no kernel object): a reply wakes only
        // this caller; a loss or a stop wakes every slot.
        CONDITION_VARIABLE woken = CONDITION_VARIABLE_INIT;
    };

    // Most bytes of notifications waiting for a slow OnNotification; past it
    // notifications are dropped (and counted) until the queue has room again.
    static const uint64_t kNotificationQueueCap = 4 * 1024 * 1024;
    // Drops are reported at most this often, in one call for all of them.
    static constexpr DWORD kDropReportMs = 1000;

    explicit CSinglePipeClientEx(std::unique_ptr<CPipeSecurity> sa);
    ~CSinglePipeClientEx() override;

    uint32_t Send(const void* /*data*/, uint32_t /*length*/) override { return 0; }
    uint32_t Post(const void* /*data*/, uint32_t /*length*/) override { return 0; }
    // On the channel's reader thread: each message is dispatched as it
    // stands in the received bytes; the notifications of one read are queued
    // for delivery together at its end (one lock, at most one wake).
    void OnMessage(const uint8_t* data, uint32_t size) override;
    void OnMessagesEnd() override;
    void OnConnectionLost() override;
    void Stop() override;
    uint32_t Connect() override;
    virtual uint32_t Start();
    virtual void OnNotification(const uint8_t* /*message*/, uint32_t /*length*/) {}
    // On the reader thread, for the queue's cap: how a notification stands in
    // a group (CTransferBuffer::BlockKind). Must only look at the bytes.
    virtual BlockKind NotificationKind(const uint8_t* /*message*/, uint32_t /*size*/) { return kLoose; }
    // count notifications of bytes in all were dropped at the cap since the
    // last report (at most one a kDropReportMs); total counts every drop.
    virtual void OnNotificationsDropped(uint32_t /*count*/, uint64_t /*bytes*/, uint32_t /*total*/) {}

    // Delivery thread: forwards each queued notification to OnNotification.
    uint32_t Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) override;

    // Ends every wait at once (waiting requests return 1460, the keeper and
    // the retries see the stop event) without waiting for anything: the first
    // step of a teardown, which then waits for the calls in flight and Stops.
    void Interrupt();

    // Sends a request (its first field is its length, at least 12; its request
    // number is written here) and waits up to 3 s for the reply. On 0, reply
    // holds a copy of exactly the reply's length; on any other result it is empty.
    // 2250 no connection for about 3 s, 1168 no usable reply in time, 1460
    // the client stopped while waiting, 87 bad arguments, else the send's or
    // the client's own error.
    uint32_t SendRequest(uint8_t* request, lumlib::CByteBlock& reply);

    uint32_t GetLastRequestId() const { return m_lastRequestId.load(); }

protected:
    uint32_t RegisterAndSend(uint8_t* request, uint32_t* requestId);
    // Waits on the entry's own slot (under m_pendingLock) until the reply, a loss, a stop or the
    // time-out, then unlinks the entry. 0 with the reply moved into reply
    // (empty when no usable one came in time); 1460 when a loss or a stop
    // ended the request before any reply.
    uint32_t AwaitReply(uint32_t requestId, lumlib::CByteBlock& reply);
    // The entry of that request, or m_pending.end(); under m_pendingLock.
    std::list<PendingRequest>::iterator FindPending(uint32_t requestId);
    uint32_t DispatchIncoming(const uint8_t* message, uint32_t received);
    // Unlinks the entry of that request and frees any reply.
    void RemovePending(uint32_t requestId);
    // Counts a loss (under m_pendingLock) and wakes the waiting requests: every
    // request sent before it ends with 1460.
    void CountLoss();
    // Reports the drops not yet reported, when kDropReportMs have passed since
    // the last report or now is set. Any thread; one report at a time.
    void ReportDrops(bool now);
    bool IsPendingReady() const { return m_pendingReady.load(); }
    // Counts notifications dropped (reported with the cap's drops, ReportDrops).
    void CountDrops(uint32_t count, uint64_t bytes);

private:
    int32_t m_noticeThreshold;
    lumlib::unique_critical_section m_pendingLock;
    std::atomic<bool> m_pendingReady{false};  // set once Start ran
    // Under m_pendingLock; a list, so an entry (and its wait slot) stays put
    // while its caller sleeps on it.
    std::list<PendingRequest> m_pending;
    uint32_t m_losses = 0;  // under m_pendingLock: losses and stops so far
    std::atomic<uint32_t> m_lastRequestId{0};
    // A notification of the reader's batch: false when it must be pushed on
    // its own (another thread, or no memory to note it).
    bool StageNotification(const uint8_t* message, uint32_t size, BlockKind kind);
    // Queues the batch's notifications and counts those refused.
    void FlushStaged();
    // The reader's batch: views into the channel's received bytes, valid
    // until OnMessagesEnd. Only the thread in m_stagingThread uses it.
    std::vector<CTransferBuffer::Block> m_staged;
    std::atomic<DWORD> m_stagingThread{0};
    // Drops: counted with one atomic add each, reported by ReportDrops.
    std::atomic<uint32_t> m_droppedNotifications{0};
    std::atomic<uint32_t> m_unreportedDrops{0};
    std::atomic<uint64_t> m_unreportedDropBytes{0};
    std::atomic<ULONGLONG> m_lastDropReport{0};  // tick of the last report

    // Process-wide: raised the not-connected notice or connected once → -1.
    static std::atomic<int32_t> s_failedAttempts;
};
