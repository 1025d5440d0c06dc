// The delivery queue: the notifications the reader takes off the pipe wait
// here and are handed to the owner one at a time, in order, on the queue's
// own thread (the delivery thread), while the reader goes on reading. Past
// its cap notifications are dropped and counted, and the drops reported at
// most once a second, and once the queue has drained.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "support/TransferBuffer.h"

class IDeliveryOwner {
public:
    // On the delivery thread: one notification, of that epoch (see
    // CTransferBuffer::BeginEpoch); valid for the call only.
    virtual void OnDelivery(const uint8_t* message, uint32_t size, uint64_t epoch) = 0;
    // count notifications of bytes in all were dropped since the last report;
    // total counts every drop. Any thread.
    virtual void OnNotificationsDropped(uint32_t count, uint64_t bytes, uint32_t total) = 0;
    // On the thread reading the pipe, for the cap: how a notification stands in a
    // group (CTransferBuffer::BlockKind). Must only look at the bytes.
    virtual CTransferBuffer::BlockKind NotificationKind(const uint8_t* /*message*/, uint32_t /*size*/) {
        return CTransferBuffer::kLoose;
    }

protected:
    ~IDeliveryOwner() = default;
};

class CDeliveryQueue final : private ITransferSink {
public:
    // Most bytes of notifications waiting for a slow owner; past it
    // notifications are dropped (and counted) until the queue has room again.
    static const uint64_t kCap = 4 * 1024 * 1024;
    // Drops are reported at most this often, in one call for all of them.
    static constexpr DWORD kDropReportMs = 1000;

    // owner outlives the queue.
    explicit CDeliveryQueue(IDeliveryOwner* owner);
    ~CDeliveryQueue();
    CDeliveryQueue(const CDeliveryQueue&) = delete;
    CDeliveryQueue& operator=(const CDeliveryQueue&) = delete;

    // Makes the queue and starts the delivery thread: 0 or the failed step's error.
    DWORD Start();
    // Drops what is queued and ends the delivery thread; the last drops are told.
    void Stop();

    // On the thread reading the pipe: a notification of the read being handed on, a
    // view into the reader's bytes. They are queued together at EndBatch (one
    // lock, at most one wake); without memory to note one, the staged ones are
    // queued and it goes after them.
    void Stage(const uint8_t* message, uint32_t size);
    void EndBatch();
    // From any other thread: one notification, queued at once.
    void Push(const uint8_t* message, uint32_t size);
    // Counts notifications dropped (reported with the cap's drops).
    void CountDrops(uint32_t count, uint64_t bytes);

    // The notifications queued from now on are a new connection's (see CTransferBuffer::BeginEpoch).
    void BeginEpoch() { m_queue.BeginEpoch(); }
    uint64_t CurrentEpoch() const { return m_queue.CurrentEpoch(); }

private:
    // The delivery thread.
    uint32_t Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) override;
    // Notifications the delivery thread had no memory to take: counted as drops.
    void Dropped(uint32_t blocks, uint64_t bytes) override { CountDrops(blocks, bytes); }
    // Reports the drops not yet reported, when kDropReportMs have passed since
    // the last report or now is set. Any thread; one report at a time.
    void ReportDrops(bool now);
    // On the staging thread: queues what is staged, in order.
    void PushStaged();

    IDeliveryOwner* const m_owner;
    // The reader's batch: views into the channel's received bytes, valid
    // until EndBatch. Only the thread in m_stagingThread uses it.
    std::vector<CTransferBuffer::Block> m_staged;
    std::atomic<DWORD> m_stagingThread{0};
    // Drops: counted with one atomic add each, reported by ReportDrops.
    std::atomic<uint32_t> m_droppedNotifications{0};
    std::atomic<uint32_t> m_unreportedDrops{0};
    std::atomic<uint64_t> m_unreportedDropBytes{0};
    std::atomic<ULONGLONG> m_lastDropReport{0};  // tick of the last report
    // Last: its thread ends before the rest goes.
    CTransferBuffer m_queue;
};
