// Queue of length-prefixed data blocks in recycled fixed-size buffers
// (CBuffersList) and the asynchronous hand-off built on it (CTransferBuffer).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>

#include "support/ByteBlock.h"
#include "support/WorkerThread.h"
#include "support/lumlib.h"

// A buffer grown past this for one large message goes back to its standard
// size afterwards, so one burst does not stay committed for the process's life.
const uint64_t kShrinkAbove = 64 * 1024;
inline void ShrinkToStandard(lumlib::CByteBlock& block, uint64_t standard) {
    if (block.capacity() > kShrinkAbove && block.capacity() > standard) block.Resize(standard);
}

// Thread-safe FIFO of variable-length blocks. Each block is stored behind an
// 8-byte length in a chain of 32767-byte buffers; empty buffers are recycled
// through a spare list, and a writer that finds none allocates one itself.
class CBuffersList {
public:
    // Never raises: spares it cannot allocate now are allocated by the first writes.
    CBuffersList();
    ~CBuffersList();
    CBuffersList(const CBuffersList&) = delete;
    CBuffersList& operator=(const CBuffersList&) = delete;

    // Adds count buffers to the spare list, never past kSpareLimit; false
    // when one could not be allocated.
    bool AllocateNewBuffers(uint32_t count);
    // Appends a copy of the block; false when no buffer could be had (nothing
    // of the block stays queued then) or data is null with a size.
    bool Write(uint64_t size, const void* data);
    // Removes the front block, copied straight into destination (capacity
    // bytes), and stores its length in *size: one copy of a large block, not
    // two. False (nothing removed) when the queue is empty or it does not fit.
    bool TakeFront(void* destination, uint64_t capacity, uint64_t* size);
    // Removes the front block without copying it (when no memory is left for
    // its copy, the block is dropped rather than left to block the queue).
    bool DropFront();
    bool IsEmpty() const;
    // Length of the front block; 0 when empty.
    uint64_t GetNextSize() const;
    // Drops every queued block and frees the chain's buffers (not to the spare list).
    void FreeChain();

    static const uint64_t kBufferSize = 0x7FFF;  // 32767, not 32768
    // Spares made at construction: the first blocks need no allocation.
    static const uint32_t kRefillCount = 3;
    // Idle buffers kept for reuse (256 KiB): enough for steady traffic, while
    // a burst's buffers go back to the heap once it has drained.
    static constexpr uint32_t kSpareLimit = 8;
    // The bytes a block of size takes in the chain (its length prefix included).
    static uint64_t Footprint(uint64_t size) { return size + sizeof(uint64_t); }

private:
    using Chain = std::list<uint8_t*>;
    // Where the front block lies: its first payload byte and its length.
    struct Front {
        Chain::const_iterator buffer;
        uint64_t offset = 0;
        uint64_t length = 0;
    };
    // Under m_lock: the front block, when a whole one is queued.
    bool LocateFrontLocked(Front* front) const;
    // Under m_lock: removes the located block, copied into into (room bytes
    // checked by the caller) unless into is null. False when the chain ends
    // before the block does (it was never written so): nothing is removed.
    bool RemoveFrontLocked(Front front, uint8_t* into);
    // Takes a spare (allocating one when none is left) to the chain's end; false: none.
    bool AddBuffer();
    // Moves the chain's front buffer to the spare list (or frees it at the limit).
    void ReleaseFrontBuffer();
    bool IsEmptyLocked() const;
    uint64_t LimitOf(Chain::const_iterator buffer) const;
    void FreeBuffers();  // chain and spares

    mutable lumlib::unique_critical_section m_lock;
    Chain m_chain;   // under m_lock
    Chain m_spares;  // under m_lock
    uint32_t m_readOffset = 0;   // under m_lock
    uint32_t m_writeOffset = 0;  // under m_lock
};

// What the worker hands each block to: the owner of a transfer buffer that
// holds it as a member, or the derived class (the log's file writer).
class ITransferSink {
public:
    // Called on TransferThread only; data is valid for the call only (size
    // is 0 only after DeliverEmptyBlocks).
    // queueEmpty: nothing was queued behind this block when it was taken.
    // Whatever it raises is caught there: that block is lost, the worker goes on.
    virtual uint32_t Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) = 0;
    // On TransferThread, before the blocks taken after them: blocks the
    // worker had no memory to take were dropped (how many, their bytes).
    virtual void Dropped(uint32_t /*blocks*/, uint64_t /*bytes*/) {}

protected:
    ~ITransferSink() = default;
};

// Any thread Push()es a copy of a block and returns at once; TransferThread
// hands the blocks, in order, to the sink (or to the virtual Process of a
// derived class). It takes what is queued in batches (one lock per batch) and
// sleeps, without time-out, when there is nothing to do. Construction never
// fails; Start makes the queue and the worker and says whether it could.
class CTransferBuffer {
public:
    // sink may be null for a class that overrides Process; it must outlive the worker.
    explicit CTransferBuffer(ITransferSink* sink = nullptr) noexcept : m_sink(sink) {}
    virtual ~CTransferBuffer();
    CTransferBuffer(const CTransferBuffer&) = delete;
    CTransferBuffer& operator=(const CTransferBuffer&) = delete;

    // Makes the queue and starts the worker (or, on demand, leaves it to the
    // first push: SetOnDemand). 0, or the error of the step that failed;
    // until it succeeds every push is refused. A started buffer is left alone.
    DWORD Start();
    // Hands the block to the sink; a derived class may take it instead.
    virtual uint32_t Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) {
        return m_sink != nullptr ? m_sink->Process(data, size, queueEmpty) : 0;
    }
    // Tells the sink of blocks dropped for want of memory; a derived class may take it instead.
    virtual void Dropped(uint32_t blocks, uint64_t bytes) {
        if (m_sink != nullptr) m_sink->Dropped(blocks, bytes);
    }
    // 1 when queued, 0 when refused (closing, at the cap, no memory, not started).
    virtual uint32_t Push(const void* data, uint64_t size);

    // How a block stands towards the queue's cap. A group is a run of items
    // closed by its end (a list of records and its last): once the cap refuses
    // an item, the group's later items are refused too, and its end is queued
    // past the cap when an item of the group was queued (the group ends, cut,
    // but is never joined to the next), else refused with it (dropped whole).
    // At most one end per group goes past the cap, and only after an item
    // that fitted, so the excess stays below the cap's own number of items.
    // A latest block (the newest state of something, where an older one is
    // worth nothing) is never refused by the cap: past it the block is set
    // aside, one at a time, and handed over in the queue's order where the
    // first one was set aside; a later one replaces it there (counted as a
    // drop of the one replaced). One of a new epoch takes a place of its own,
    // and the earlier epoch's place is handed over empty. The excess is at
    // most that one block (and an empty block an epoch).
    enum BlockKind : uint32_t { kLoose = 0, kGroupItem = 1, kGroupEnd = 2, kLatest = 3 };
    // One block of a batch push.
    struct Block {
        const void* data;
        uint64_t size;
        BlockKind kind = kLoose;
    };
    // What a batch push refused.
    struct Refused {
        uint32_t count = 0;
        uint64_t bytes = 0;
    };
    // Queues count blocks under one lock and wakes the worker at most once;
    // each block is refused on its own as Push would refuse it.
    Refused PushBatch(const Block* blocks, size_t count);
    // Queues a block. Push passes wake = false: an idle worker is woken unless
    // it lingers (see SetLinger) and will find the block at its next look;
    // wake = true wakes it in any case.
    // *overCap (when given) says whether the cap refused it, rather than memory, a stop or no worker.
    uint32_t PushBlock(const void* data, uint64_t size, bool wake, BlockKind kind = kLoose, bool* overCap = nullptr);

    // 1: drop what is queued and end the worker; 0: wait until the worker has
    // delivered what is queued (or can take no more), then end it.
    // The owner of the sink (or a class that overrides Process) calls it
    // before the sink goes: the worker must never call into a partly
    // destroyed object.
    DWORD StopTransfer(uint32_t immediate);
    void ClearQueue();
    bool IsWorkerStopped() const;
    // Nothing queued and no block in the worker's hands (as of the last
    // push or take: a caller that orders its pushes by a lock of its own sees its own).
    bool IsIdle() const { return m_idle.load(); }
    // Most bytes (CBuffersList::Footprint) queued at once; a push past it is
    // refused. 0, the default: no cap. Set before the first push.
    void SetQueueCap(uint64_t bytes);
    // Before Start: the worker runs only while there is work. A push that
    // finds none running starts it; it ends once the queue has been empty for
    // idleMs. For a queue that is mostly bypassed (the channel's writes).
    void SetOnDemand(DWORD idleMs);
    // Before Start: empty blocks reach Process too (by default they are
    // skipped), so an owner can push one to have the worker act.
    void DeliverEmptyBlocks();

    // The blocks pushed from now on form a new epoch (a connection's
    // notifications, say); an open group ends with the old one. Epochs count
    // from 0; the worker tells Process the epoch of the block it hands over
    // (DeliveringEpoch): this one, the one before it, or kOlderEpoch for any
    // earlier one. Call it only once no thread pushes for the old epoch.
    void BeginEpoch();
    uint64_t CurrentEpoch() const { return m_epoch.load(); }
    static constexpr uint64_t kOlderEpoch = ~uint64_t(0);
    // On the worker, inside Process: the epoch of the block being handed over.
    uint64_t DeliveringEpoch() const { return m_deliveringEpoch; }
    // Opt-in for a worker whose blocks may wait a little (the log): once the
    // queue is empty the worker waits once for lingerMs, and pushes meanwhile
    // cost no wake-up; then it sleeps until a push wakes it. 0 (the
    // default): no linger.
    void SetLinger(DWORD lingerMs);
    // From now on pushes are refused (for good).
    void RefusePushes() { m_closing.store(true); }
    bool IsClosing() const { return m_closing.load(); }
    // True on the worker thread itself.
    bool IsWorkerThread() const;

private:
    static unsigned __stdcall TransferThread(void* self);
    // Under m_tbLock: waits for work; false when the worker is to end.
    bool WaitForWorkLocked();
    // Under m_tbLock: moves queued blocks into work (each behind its 8-byte
    // length and its epoch, at an offset that is a multiple of 8, so every
    // block handed to Process is 8-byte aligned), dropping one that has no
    // memory for its copy. Returns where the batch lies: in work, or in the
    // small fixed buffer when work could not grow for its one block.
    const uint8_t* TakeBatchLocked(lumlib::CByteBlock& work, uint64_t* used, bool* queueEmpty);
    // Under m_tbLock: takes the front block to at behind its header; its
    // footprint there, 0 when it could not be taken.
    uint64_t TakeFrontLocked(uint8_t* at, uint64_t next, bool setAside);
    // Hands the batch's blocks to Process.
    void Deliver(const uint8_t* work, uint64_t used, bool queueEmpty);
    // Under m_tbLock: queues one block, counting its footprint; false when
    // refused. A set-aside block it replaced is added to *replaced (may be null).
    bool QueueLocked(const void* data, uint64_t size, BlockKind kind, Refused* replaced = nullptr, bool* overCap = nullptr);
    // Under m_tbLock: a latest block past the cap is set aside (see BlockKind).
    bool SetAsideLocked(const void* data, uint64_t size, Refused* replaced);
    // Under m_tbLock: whether the cap lets a block of that footprint and kind in (group state kept).
    bool AdmitLocked(uint64_t footprint, BlockKind kind);
    // Under m_tbLock: the epoch of the block with that sequence number.
    uint64_t EpochOfLocked(uint64_t sequence) const;
    // Under m_tbLock: the worker has something to do (a block to take, or quit).
    bool HasWorkLocked() const { return m_quit || (!m_stalled && m_queue != nullptr && !m_queue->IsEmpty()); }
    // Under m_tbLock: nothing queued that the worker could still deliver.
    bool DrainedLocked() const { return !m_inFlight && (m_stalled || m_queue == nullptr || m_queue->IsEmpty()); }
    // Under m_tbLock: a worker runs (an on-demand one is started); false when none can.
    bool EnsureWorkerLocked();
    // Under m_tbLock: whether a push should wake the worker.
    bool WakeNeededLocked(bool wake) const { return m_asleep || (m_waiting && wake); }

    ITransferSink* const m_sink;
    lumlib::srw_lock m_tbLock;  // outside the queue's lock; slim: construction allocates nothing
    std::unique_ptr<CBuffersList> m_queue;  // made by Start, under m_tbLock
    // The worker sleeps on this condition under m_tbLock: a push or a stop
    // wakes it. A condition costs no kernel object and no wake at all while
    // the worker is busy, where an event costs a call each time.
    CONDITION_VARIABLE m_workChanged = CONDITION_VARIABLE_INIT;
    // A draining stop sleeps on this under m_tbLock; the worker signals it
    // once it has nothing left it could deliver.
    CONDITION_VARIABLE m_progress = CONDITION_VARIABLE_INIT;
    bool m_quit = false;      // under m_tbLock: the worker ends at its next look
    bool m_stalled = false;   // under m_tbLock: the front block could be neither taken nor dropped; wait for a push
    bool m_waiting = false;   // under m_tbLock: the worker waits (lingering or asleep)
    bool m_asleep = false;    // under m_tbLock: the worker waits without time-out, only a wake ends it
    bool m_inFlight = false;  // under m_tbLock: the worker holds blocks it has not delivered yet
    // Under m_tbLock: blocks TakeBatchLocked dropped, not yet told (Dropped).
    uint32_t m_droppedBlocks = 0;
    uint64_t m_droppedBytes = 0;
    // Nothing queued nor in flight: set under m_tbLock wherever either
    // changes, read without it (IsIdle is asked before every direct write).
    std::atomic<bool> m_idle{true};
    bool m_draining = false;  // under m_tbLock: a draining stop waits on m_progress
    DWORD m_lingerMs = 0;     // under m_tbLock
    DWORD m_onDemandMs = 0;   // under m_tbLock; 0: the worker runs from Start to the stop
    bool m_deliverEmpty = false;   // set before Start
    bool m_workerRunning = false;  // under m_tbLock: a worker runs and will look at the queue again
    std::atomic<DWORD> m_workerId{0};  // the running worker's thread id
    uint64_t m_queueCap = 0;     // under m_tbLock; 0: none
    uint64_t m_queuedBytes = 0;  // under m_tbLock: footprint of the queued blocks
    bool m_groupCut = false;     // under m_tbLock: the open group lost an item to the cap
    bool m_groupQueued = false;  // under m_tbLock: an item of the open group was queued
    // Under m_tbLock: the latest block set aside past the cap, and the
    // sequence number of the empty block that holds its place in the queue.
    lumlib::CByteBlock m_latest;
    uint64_t m_latestSize = 0;
    uint64_t m_latestSeq = 0;
    bool m_latestQueued = false;
    // Under m_tbLock: blocks queued and blocks taken (or dropped) since the
    // start, and where the current and the previous epoch began in that count.
    uint64_t m_pushedSeq = 0;
    uint64_t m_takenSeq = 0;
    uint64_t m_epochStart = 0;
    uint64_t m_previousEpochStart = 0;
    std::atomic<uint64_t> m_epoch{0};  // changed under m_tbLock
    uint64_t m_deliveringEpoch = 0;    // the worker's own
    // The worker's own: a small block (a group's end) is handed over from
    // here when the worker's buffer cannot grow for it.
    uint64_t m_smallWork[32] = {};
    std::atomic<bool> m_closing{false};  // pushes are refused
    // Last member: joined first, while the rest still exists. Started and
    // restarted under m_tbLock; stopped once m_quit is set.
    lumlib::CWorkerThread m_worker;
};
