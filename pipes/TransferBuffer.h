// Queue of length-prefixed data blocks in recycled fixed-size buffers
// (CBuffersList) and the asynchronous hand-off built on it (CTransferBuffer).
#pragma once

#include <windows.h>

#include <cstdint>
#include <list>

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
// through a spare list that AllocateNewBuffersThread tops up.
class CBuffersList {
public:
    CBuffersList();  // raises CLumException* ("BuffersList")
    virtual ~CBuffersList();
    CBuffersList(const CBuffersList&) = delete;
    CBuffersList& operator=(const CBuffersList&) = delete;

    void AllocateNewBuffers(uint32_t count);  // raises CLumException* on allocation failure
    void AddBuffer();
    void Write(uint64_t size, const void* data);
    // Returns the block buffer holding the front block, or null. remove = 0 peeks.
    uint8_t* Read(uint64_t* size, uint32_t remove);
    uint32_t IsEmpty();
    uint64_t GetNextSize();
    void Clear();
    // Removes the front block without copying it (when no memory is left for
    // its copy, the block is dropped rather than left to block the queue).
    bool DropFront();
    // Removes the front block, copied straight into destination (capacity
    // bytes), and stores its length in *size: one copy of a large block, not
    // two. False (nothing removed) when the queue is empty or it does not fit.
    bool TakeInto(void* destination, uint64_t capacity, uint64_t* size);

    // The list's own lock (a re-entrant critical section: it never leaves the
    // process); owners nest it inside their locks.
    CRITICAL_SECTION* GetLock() const { return m_lock.get(); }

    // Partial reads (the channel's ReadData) keep their progress here; all of
    // these are used under GetLock().
    uint32_t GetPartialOffset() const { return m_partialOffset; }
    void SetPartialOffset(uint32_t offset) { m_partialOffset = offset; }
    uint8_t* GetPartBuffer() const { return m_partBuffer.get(); }
    uint64_t GetPartBufferSize() const { return m_partBuffer.capacity(); }
    // Grows the part buffer to at least size bytes; on failure frees it, sets its
    // capacity to 0 and returns false.
    bool GrowPartBuffer(uint64_t size);
    // Drops every queued block and frees the chain's buffers (not to the spare list).
    void FreeChain();

    // Introspection for tests and benchmarks.
    size_t GetSpareCount();
    size_t GetChainCount();
    uint32_t GetWriteOffset() const { return m_writeOffset; }

    static const uint64_t kBufferSize = 0x7FFF;  // 32767, not 32768
    static const uint32_t kRefillCount = 3;
    // Idle buffers kept for reuse (256 KiB): enough for steady traffic, while
    // a burst's buffers go back to the heap once it has drained.
    static constexpr uint32_t kSpareLimit = 8;
    // The bytes a block of size takes in the chain (its length prefix included).
    static uint64_t Footprint(uint64_t size) { return size + sizeof(uint64_t); }

protected:
    static unsigned __stdcall AllocateNewBuffersThread(void* self);
    // into: the copy goes there (room bytes) instead of the block buffer.
    uint8_t* ReadFront(uint64_t* size, uint32_t remove, bool copy, uint8_t* into = nullptr, uint64_t room = 0);
    // Moves the chain's front buffer to the spare list (or frees it at the limit).
    void ReleaseFrontBuffer();
    uint32_t IsEmptyLocked() const;
    void FreeBuffers();   // chain and spares
    // Grows a scratch block to at least size bytes; on failure frees it.
    static bool GrowScratch(lumlib::CByteBlock& block, uint64_t size);

    uint64_t m_bufferSize;
    uint32_t m_refillCount;
    uint32_t m_spareLimit;
    std::list<uint8_t*> m_chain;
    std::list<uint8_t*> m_spares;
    lumlib::unique_critical_section m_lock;
    uint32_t m_readOffset;
    uint32_t m_partialOffset;
    uint32_t m_writeOffset;
    uint32_t m_refillEnabled;
    CHandleHolder m_refillEvent;
    lumlib::CByteBlock m_blockBuffer;
    lumlib::CByteBlock m_partBuffer;
    // Last member: joined first when the list goes, while the rest still exists.
    lumlib::CWorkerThread m_refill;
};

// Any thread Push()es a copy of a block and returns at once; TransferThread
// hands the blocks, one at a time and in order, to the virtual Process.
class CTransferBuffer {
public:
    CTransferBuffer();  // raises CLumException* ("TransferBuffer")
    virtual ~CTransferBuffer();
    CTransferBuffer(const CTransferBuffer&) = delete;
    CTransferBuffer& operator=(const CTransferBuffer&) = delete;

    // Called on TransferThread only; data is valid for the call only.
    virtual uint32_t Process(const uint8_t* /*data*/, uint64_t /*size*/, uint32_t /*queueEmpty*/) { return 0; }
    // 1 when queued, 0 when refused (closing).
    virtual uint32_t Push(const void* data, uint64_t size);

    // 1: drop what is queued and end the worker; 0: let the worker drain the queue first.
    // Every class that overrides Process calls it in its own destructor: the
    // worker calls Process, which must never run on a partly destroyed object.
    DWORD StopTransfer(uint32_t immediate);
    void ClearQueue();
    bool IsWorkerStopped() const { return m_worker.HasEnded(); }
    // Blocks dropped because no memory was left for their copy.
    uint32_t GetDroppedCount() const { return static_cast<uint32_t>(m_dropped); }
    // Most bytes (CBuffersList::Footprint) queued at once; a push past it is
    // refused. 0, the default: no cap. Set before the first push.
    void SetQueueCap(uint64_t bytes);

protected:
    // Queues a block. Push passes wake = false: an idle worker is woken unless
    // it lingers (see SetLinger) and will find the block at its next look;
    // wake = true wakes it in any case.
    uint32_t PushBlock(const void* data, uint64_t size, bool wake);
    // Opt-in for a worker whose blocks may wait a little (the log): once idle
    // it looks again every lingerMs for up to idleMs before it sleeps until
    // woken, and pushes meanwhile cost no wake-up. 0 (the default): a push
    // wakes an idle worker at once.
    void SetLinger(DWORD lingerMs, DWORD idleMs);

    static unsigned __stdcall TransferThread(void* self);
    // Takes the front block into the working buffer; false when none was taken.
    bool TakeBlock(lumlib::CByteBlock& work, uint64_t* size, uint32_t* queueEmpty);
    // Under m_tbLock: the worker has something to do (a block to take, or quit).
    bool HasWorkLocked() const { return m_quit || (!m_stalled && !m_queue->IsEmpty()); }

    lumlib::unique_critical_section m_tbLock;  // outside the queue's lock
    CBuffersList* m_queue;
    // The worker sleeps on this condition under m_tbLock: a push or a stop
    // wakes it. A condition costs no kernel object and no wake
    // at all while the worker is busy, where an event costs a call each time.
    CONDITION_VARIABLE m_workChanged = CONDITION_VARIABLE_INIT;
    lumlib::CWorkerThread m_worker;
    bool m_quit = false;     // under m_tbLock: the worker ends at its next look
    bool m_stalled = false;  // under m_tbLock: the front block could be neither taken nor dropped; wait for a push
    bool m_asleep = false;   // under m_tbLock: the worker waits without time-out, only a wake ends it
    DWORD m_lingerMs = 0;    // set before the first push
    uint64_t m_queueCap = 0;     // set before the first push; 0: none
    uint64_t m_queuedBytes = 0;  // under m_tbLock: footprint of the queued blocks
    DWORD m_idleMs = 0;
    volatile LONG m_closing = 0;   // pushes are refused
    volatile LONG m_inFlight = 0;  // 1 while the worker holds a block it has not delivered yet
    volatile LONG m_dropped = 0;
};
