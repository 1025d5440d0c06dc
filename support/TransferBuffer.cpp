#include "support/TransferBuffer.h"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

namespace {

const size_t kWorkingBufferSize = 8096;
// A batch takes blocks up to about this many bytes (at least one block), so
// one burst does not double its memory in the worker's buffer.
const uint64_t kBatchBytes = 64 * 1024;
const uint64_t kPrefixSize = sizeof(uint64_t);
// In the worker's buffer each block stands behind its length and its epoch,
// and the next one starts at a multiple of 8: Process gets aligned blocks
// (a device record read through its struct must not be misaligned).
const uint64_t kWorkHeader = 2 * sizeof(uint64_t);
uint64_t WorkFootprint(uint64_t size) { return kWorkHeader + ((size + 7) & ~uint64_t(7)); }

// A latest block replaced before it was handed over counts as refused.
void CountReplaced(CTransferBuffer::Refused* replaced, uint64_t bytes) {
    if (replaced == nullptr) return;
    ++replaced->count;
    replaced->bytes += bytes;
}

}  // namespace

// ---- CBuffersList ------------------------------------------------------

CBuffersList::CBuffersList() {
    // What cannot be had now, AddBuffer allocates when it is needed.
    static_cast<void>(AllocateNewBuffers(kRefillCount));
}

void CBuffersList::FreeBuffers() {
    for (uint8_t* b : m_chain) std::free(b);
    m_chain.clear();
    for (uint8_t* b : m_spares) std::free(b);
    m_spares.clear();
}

CBuffersList::~CBuffersList() {
    const auto lock = m_lock.lock();
    FreeBuffers();
}

bool CBuffersList::AllocateNewBuffers(uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        // Allocated outside the lock so that writers are not held up.
        uint8_t* buffer = static_cast<uint8_t*>(lumlib::Realloc(nullptr, static_cast<size_t>(kBufferSize)));
        if (!buffer) return false;
        const auto lock = m_lock.lock();
        if (m_spares.size() >= kSpareLimit) {
            // Releases refilled the list meanwhile; never keep more than the limit.
            std::free(buffer);
            continue;
        }
        // The list's node is an allocation too.
        if (lumlib::CatchReturn([&] { m_spares.push_back(buffer); }) != ERROR_SUCCESS) {
            std::free(buffer);
            return false;
        }
    }
    return true;
}

bool CBuffersList::AddBuffer() {
    // Refilled inline: a spare is there in steady traffic (every emptied
    // buffer goes back to the list), so only a growing queue allocates.
    if (m_spares.empty() && !AllocateNewBuffers(1)) return false;
    if (m_spares.empty()) return false;
    // splice moves the node itself: taking a spare never allocates
    m_chain.splice(m_chain.end(), m_spares, m_spares.begin());
    m_writeOffset = 0;
    return true;
}

void CBuffersList::ReleaseFrontBuffer() {
    if (m_spares.size() < kSpareLimit) {
        // Taken first by the next AddBuffer: the buffer just used is still in the cache.
        m_spares.splice(m_spares.begin(), m_chain, m_chain.begin());
    } else {
        std::free(m_chain.front());
        m_chain.pop_front();
    }
}

bool CBuffersList::Write(uint64_t size, const void* data) {
    if (size != 0 && data == nullptr) return false;  // nothing to copy from: no block
    const auto lock = m_lock.lock();
    const size_t chainBefore = m_chain.size();
    const uint32_t writeBefore = m_writeOffset;
    bool room = !m_chain.empty() && kBufferSize - m_writeOffset >= kPrefixSize;
    if (!room) room = AddBuffer();
    if (room) {
        std::memcpy(m_chain.back() + m_writeOffset, &size, kPrefixSize);
        m_writeOffset += static_cast<uint32_t>(kPrefixSize);
    }
    const uint8_t* src = static_cast<const uint8_t*>(data);
    uint64_t left = size;
    while (room && kBufferSize - m_writeOffset < left) {
        const uint64_t space = kBufferSize - m_writeOffset;
        std::memcpy(m_chain.back() + m_writeOffset, src, static_cast<size_t>(space));
        src += space;
        left -= space;
        room = AddBuffer();
    }
    if (!room) {
        // No buffer for the rest of the block: take the partial block back so
        // that no reader ever meets a prefix without its payload.
        while (m_chain.size() > chainBefore) m_spares.splice(m_spares.begin(), m_chain, std::prev(m_chain.end()));
        m_writeOffset = writeBefore;
        return false;
    }
    if (left) std::memcpy(m_chain.back() + m_writeOffset, src, static_cast<size_t>(left));
    m_writeOffset += static_cast<uint32_t>(left);
    return true;
}

uint64_t CBuffersList::LimitOf(Chain::const_iterator buffer) const {
    return std::next(buffer) == m_chain.end() ? uint64_t(m_writeOffset) : kBufferSize;
}

bool CBuffersList::LocateFrontLocked(Front* front) const {
    if (IsEmptyLocked()) return false;
    auto it = m_chain.begin();
    uint64_t offset = m_readOffset;
    if (kBufferSize - offset < kPrefixSize) {  // a prefix is never split: it starts the next buffer
        if (std::next(it) == m_chain.end()) return false;
        ++it;
        offset = 0;
    }
    if (LimitOf(it) < offset + kPrefixSize) return false;  // no complete prefix queued
    std::memcpy(&front->length, *it + offset, kPrefixSize);
    front->buffer = it;
    front->offset = offset + kPrefixSize;
    return true;
}

bool CBuffersList::RemoveFrontLocked(Front front, uint8_t* into) {
    // Walk first; buffers are released and offsets moved only once the whole
    // block has been passed, so a failure leaves the queue exactly as it was.
    auto it = front.buffer;
    uint64_t offset = front.offset;
    uint64_t copied = 0;
    for (;;) {
        const uint64_t available = LimitOf(it) > offset ? LimitOf(it) - offset : 0;
        const uint64_t n = front.length - copied < available ? front.length - copied : available;
        if (into) std::memcpy(into + copied, *it + offset, static_cast<size_t>(n));
        offset += n;
        copied += n;
        if (copied == front.length) break;
        if (std::next(it) == m_chain.end()) return false;  // payload shorter than its prefix says
        ++it;
        offset = 0;
    }
    if (kBufferSize - offset < kPrefixSize && std::next(it) != m_chain.end()) {
        ++it;
        offset = 0;
    }
    while (m_chain.begin() != it) ReleaseFrontBuffer();
    if (m_chain.size() == 1 && offset == m_writeOffset) {
        ReleaseFrontBuffer();  // the last block is gone: its buffer goes back too
        m_readOffset = m_writeOffset = 0;
    } else {
        m_readOffset = static_cast<uint32_t>(offset);
    }
    return true;
}

bool CBuffersList::TakeFront(void* destination, uint64_t capacity, uint64_t* size) {
    const auto lock = m_lock.lock();
    if (size) *size = 0;
    Front front;
    if (!LocateFrontLocked(&front)) return false;
    if (front.length > capacity || (destination == nullptr && front.length != 0)) return false;
    if (!RemoveFrontLocked(front, static_cast<uint8_t*>(destination))) return false;
    if (size) *size = front.length;
    return true;
}

bool CBuffersList::DropFront() {
    const auto lock = m_lock.lock();
    Front front;
    return LocateFrontLocked(&front) && RemoveFrontLocked(front, nullptr);
}

bool CBuffersList::IsEmptyLocked() const {
    return m_chain.empty() || (m_chain.size() == 1 && m_readOffset == m_writeOffset);
}

bool CBuffersList::IsEmpty() const {
    const auto lock = m_lock.lock();
    return IsEmptyLocked();
}

uint64_t CBuffersList::GetNextSize() const {
    const auto lock = m_lock.lock();
    Front front;
    return LocateFrontLocked(&front) ? front.length : 0;
}

void CBuffersList::FreeChain() {
    const auto lock = m_lock.lock();
    for (uint8_t* b : m_chain) std::free(b);
    m_chain.clear();
    m_readOffset = m_writeOffset = 0;
}

// ---- CTransferBuffer: pushing ------------------------------------------

CTransferBuffer::~CTransferBuffer() {
    // The owner of the sink (or the class that overrides Process) stops the
    // worker first: by now what Process uses may be gone. The stop below is
    // only the safety net of a release build.
    assert(IsWorkerStopped());
    StopTransfer(1);
}

DWORD CTransferBuffer::Start() {
    const auto lock = m_tbLock.lock_exclusive();
    if (m_queue != nullptr) return ERROR_SUCCESS;
    // Made here, not in the constructor: the queue's list may allocate, and a
    // failure is a result, never an exception from a half-built owner.
    std::unique_ptr<CBuffersList> queue;
    const DWORD queueError = lumlib::CatchReturn([&] { queue.reset(new CBuffersList()); });
    if (queueError != ERROR_SUCCESS) return queueError;
    m_queue = std::move(queue);
    if (m_onDemandMs != 0) return ERROR_SUCCESS;  // the first push starts it
    if (EnsureWorkerLocked()) return ERROR_SUCCESS;
    m_queue.reset();  // no worker, no queue: pushes stay refused
    return lumlib::LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
}

bool CTransferBuffer::EnsureWorkerLocked() {
    // Stopped: nothing would take a block (a draining stop leaves the worker marked running).
    if (m_quit || m_queue == nullptr) return false;
    if (m_workerRunning) return true;
    // An on-demand worker that ended is joined by the start (it holds no lock any more).
    if (m_worker.Start(&CTransferBuffer::TransferThread, this) != ERROR_SUCCESS) return false;
    m_workerRunning = true;
    return true;
}

void CTransferBuffer::SetOnDemand(DWORD idleMs) {
    const auto lock = m_tbLock.lock_exclusive();
    m_onDemandMs = idleMs;
}

void CTransferBuffer::DeliverEmptyBlocks() {
    const auto lock = m_tbLock.lock_exclusive();
    m_deliverEmpty = true;
}

bool CTransferBuffer::IsWorkerStopped() const {
    const auto lock = m_tbLock.lock_exclusive();
    return m_worker.HasEnded();
}

bool CTransferBuffer::IsWorkerThread() const { return m_workerId.load() == ::GetCurrentThreadId(); }

uint32_t CTransferBuffer::Push(const void* data, uint64_t size) { return PushBlock(data, size, false); }

bool CTransferBuffer::AdmitLocked(uint64_t footprint, BlockKind kind) {
    const bool fits = m_queueCap == 0 || m_queuedBytes + footprint <= m_queueCap;
    switch (kind) {
    case kGroupItem:
        m_groupCut = m_groupCut || !fits;
        return !m_groupCut;
    case kGroupEnd: {
        // A group with a queued item is ended even past the cap; a cut one
        // without any is dropped whole, its end included.
        const bool queued = m_groupQueued, cut = m_groupCut;
        m_groupQueued = m_groupCut = false;
        return queued || (fits && !cut);
    }
    default:
        return fits;
    }
}

bool CTransferBuffer::QueueLocked(const void* data, uint64_t size, BlockKind kind, Refused* replaced, bool* overCap) {
    if (size != 0 && data == nullptr) return false;
    // Not started, stopped, or no worker could be had: nothing would take it.
    if (!EnsureWorkerLocked()) return false;
    const uint64_t footprint = CBuffersList::Footprint(size);
    const bool groupQueued = m_groupQueued;
    // A newest-only block while one of this epoch waits set aside takes its
    // place: queued behind it, it would be overtaken by a newer one set aside later.
    if (kind == kLatest && m_latestQueued && m_latestSeq >= m_epochStart) return SetAsideLocked(data, size, replaced);
    if (!AdmitLocked(footprint, kind)) {
        if (overCap != nullptr) *overCap = true;
        return kind == kLatest && SetAsideLocked(data, size, replaced);
    }
    // out of memory: nothing was queued (the list took the block back); a
    // group that lost an item this way is cut like one the cap refused. A
    // group whose end is lost so stays open and cut: the next group's items
    // are refused and its end ends this one, never joined to it.
    if (!m_queue->Write(size, data)) {
        if (kind == kGroupItem || (kind == kGroupEnd && groupQueued)) m_groupCut = true;
        if (kind == kGroupEnd) m_groupQueued = groupQueued;
        return false;
    }
    if (kind == kGroupItem) m_groupQueued = true;
    m_queuedBytes += footprint;
    ++m_pushedSeq;
    m_stalled = false;
    m_idle.store(false);
    return true;
}

bool CTransferBuffer::SetAsideLocked(const void* data, uint64_t size, Refused* replaced) {
    const uint64_t before = m_latestSize;
    if (m_latestQueued && m_latestSeq < m_epochStart) {
        // One of an earlier epoch waits: its place stays in that epoch and
        // goes empty, and this one takes a place of its own in this epoch.
        lumlib::CByteBlock bytes;
        if (!bytes.Assign(data, static_cast<size_t>(size)) || !m_queue->Write(0, nullptr)) return false;
        m_queuedBytes += CBuffersList::Footprint(0);  // the old place is now an ordinary empty block
        m_latest = std::move(bytes);
        m_latestSize = size;
        m_latestSeq = m_pushedSeq++;
        CountReplaced(replaced, before);
        m_stalled = false;  // a new block, as below: a worker waiting for memory tries again
        m_idle.store(false);
        return true;
    }
    if (!m_latest.Assign(data, static_cast<size_t>(size))) return false;
    m_latestSize = size;
    if (m_latestQueued) {
        CountReplaced(replaced, before);
        return true;
    }
    // Its place in the queue: an empty block, handed over with the bytes set aside.
    if (!m_queue->Write(0, nullptr)) return false;
    m_latestSeq = m_pushedSeq++;
    m_latestQueued = true;
    m_stalled = false;
    m_idle.store(false);
    return true;
}

void CTransferBuffer::BeginEpoch() {
    const auto lock = m_tbLock.lock_exclusive();
    m_previousEpochStart = m_epochStart;
    m_epochStart = m_pushedSeq;
    m_groupCut = m_groupQueued = false;
    m_epoch.store(m_epoch.load() + 1);
}

uint64_t CTransferBuffer::EpochOfLocked(uint64_t sequence) const {
    const uint64_t epoch = m_epoch.load();
    if (sequence >= m_epochStart) return epoch;
    return sequence >= m_previousEpochStart && epoch != 0 ? epoch - 1 : kOlderEpoch;
}

uint32_t CTransferBuffer::PushBlock(const void* data, uint64_t size, bool wake, BlockKind kind, bool* overCap) {
    if (m_closing.load()) return 0;
    {
        const auto lock = m_tbLock.lock_exclusive();
        if (!QueueLocked(data, size, kind, nullptr, overCap)) return 0;
        // A lingering worker finds the block within its linger; a busy one
        // takes it with the rest, so neither is woken.
        wake = WakeNeededLocked(wake);
    }
    if (wake) ::WakeConditionVariable(&m_workChanged);
    return 1;
}

CTransferBuffer::Refused CTransferBuffer::PushBatch(const Block* blocks, size_t count) {
    Refused refused;
    bool wake = false;
    {
        const auto lock = m_tbLock.lock_exclusive();
        for (size_t i = 0; i < count; ++i) {
            if (!m_closing.load() && QueueLocked(blocks[i].data, blocks[i].size, blocks[i].kind, &refused)) continue;
            ++refused.count;
            refused.bytes += blocks[i].size;
        }
        wake = refused.count < count && WakeNeededLocked(true);
    }
    if (wake) ::WakeConditionVariable(&m_workChanged);
    return refused;
}

void CTransferBuffer::SetLinger(DWORD lingerMs) {
    const auto lock = m_tbLock.lock_exclusive();
    m_lingerMs = lingerMs;
}

void CTransferBuffer::SetQueueCap(uint64_t bytes) {
    const auto lock = m_tbLock.lock_exclusive();
    m_queueCap = bytes;
}

void CTransferBuffer::ClearQueue() {
    const auto lock = m_tbLock.lock_exclusive();
    if (m_queue != nullptr) m_queue->FreeChain();
    m_queuedBytes = 0;
    m_takenSeq = m_pushedSeq;
    m_groupCut = m_groupQueued = false;
    m_stalled = false;
    m_latestQueued = false;
    m_latest.reset();
    m_idle.store(!m_inFlight);
}

// ---- CTransferBuffer: the worker ---------------------------------------

DWORD CTransferBuffer::StopTransfer(uint32_t immediate) {
    if (immediate) {
        m_closing.store(true);
        ClearQueue();
    }
    {
        const auto lock = m_tbLock.lock_exclusive();
        // Called on the worker itself (from Process) it cannot wait for itself.
        if (!immediate && !IsWorkerThread() && m_workerRunning && !m_worker.HasEnded()) {
            // A lingering worker starts now; the worker signals m_progress
            // once it holds nothing and finds nothing it could still take.
            m_draining = true;
            ::WakeAllConditionVariable(&m_workChanged);
            while (!DrainedLocked()) m_tbLock.wait(m_progress, INFINITE);
        }
        m_quit = true;
    }
    ::WakeAllConditionVariable(&m_workChanged);
    return m_worker.Stop() ? WAIT_OBJECT_0 : WAIT_FAILED;
}

bool CTransferBuffer::WaitForWorkLocked() {
    // After the queue has emptied, a lingering worker waits once for
    // m_lingerMs (pushes meanwhile do not wake it); then it sleeps until woken.
    // An on-demand worker ends once it has found nothing for m_onDemandMs.
    bool lingered = false;
    const ULONGLONG idleSince = ::GetTickCount64();
    while (!HasWorkLocked()) {
        const ULONGLONG idle = ::GetTickCount64() - idleSince;
        if (m_onDemandMs != 0 && idle >= m_onDemandMs) {
            m_workerRunning = m_waiting = m_asleep = false;
            return false;
        }
        const bool linger = m_lingerMs != 0 && !lingered && !m_draining;
        m_waiting = true;
        m_asleep = !linger;
        const DWORD wait = m_onDemandMs != 0 ? static_cast<DWORD>(m_onDemandMs - idle) : linger ? m_lingerMs : INFINITE;
        m_tbLock.wait(m_workChanged, wait);
        lingered = true;
    }
    m_waiting = m_asleep = false;
    return !m_quit;
}

uint64_t CTransferBuffer::TakeFrontLocked(uint8_t* at, uint64_t next, bool setAside) {
    uint64_t size = 0;
    if (!m_queue->TakeFront(at + kWorkHeader, next, &size)) return 0;
    if (setAside && m_latestSize != 0) std::memcpy(at + kWorkHeader, m_latest.get(), static_cast<size_t>(m_latestSize));
    if (setAside) size = m_latestSize;
    const uint64_t epoch = EpochOfLocked(m_takenSeq);
    std::memcpy(at, &size, kPrefixSize);
    std::memcpy(at + kPrefixSize, &epoch, sizeof(epoch));
    return WorkFootprint(size);
}

const uint8_t* CTransferBuffer::TakeBatchLocked(lumlib::CByteBlock& work, uint64_t* used, bool* queueEmpty) {
    *used = 0;
    bool small = false;
    while (*used < kBatchBytes && !m_queue->IsEmpty() && !small) {
        // The empty block that holds a set-aside block's place hands over its bytes.
        const bool setAside = m_latestQueued && m_takenSeq == m_latestSeq;
        const uint64_t next = m_queue->GetNextSize();
        const uint64_t footprint = setAside ? 0 : CBuffersList::Footprint(next);
        const uint64_t placed = WorkFootprint(setAside ? m_latestSize : next);
        // Grow first, take second. A first block the buffer cannot grow for
        // goes to the small fixed one when it fits there (a group's end is
        // never lost so), else it is dropped: left queued it would stop every
        // block behind it. A later block that does not fit waits for the next batch.
        const bool room = work.Grow(*used + placed);
        small = !room && *used == 0 && placed <= sizeof(m_smallWork);
        uint8_t* const at = small ? reinterpret_cast<uint8_t*>(m_smallWork) : work.get() + *used;
        const uint64_t taken = room || small ? TakeFrontLocked(at, next, setAside) : 0;
        if (taken != 0) {
            *used += taken;
        } else if (*used != 0) {
            break;
        } else if (m_queue->DropFront()) {
            ++m_droppedBlocks;  // told to the sink before the blocks taken after it
            m_droppedBytes += setAside ? m_latestSize : next;
        } else {
            m_stalled = true;  // neither taken nor dropped: looking again before a push would spin
            break;
        }
        if (setAside) {
            m_latestQueued = false;
            m_latest.reset();
        }
        ++m_takenSeq;
        m_queuedBytes = m_queuedBytes > footprint ? m_queuedBytes - footprint : 0;
    }
    // Taken under the lock, so a draining stop that finds the queue empty
    // also sees that these blocks are not yet delivered.
    m_inFlight = *used != 0 || m_droppedBlocks != 0;
    *queueEmpty = m_queue->IsEmpty();
    m_idle.store(!m_inFlight && *queueEmpty);
    return small ? reinterpret_cast<const uint8_t*>(m_smallWork) : work.get();
}

void CTransferBuffer::Deliver(const uint8_t* work, uint64_t used, bool queueEmpty) {
    for (uint64_t at = 0; at < used;) {
        uint64_t size = 0;
        std::memcpy(&size, work + at, kPrefixSize);
        std::memcpy(&m_deliveringEpoch, work + at + kPrefixSize, sizeof(m_deliveringEpoch));
        const uint8_t* block = work + at + kWorkHeader;
        at += WorkFootprint(size);
        // The worker's error boundary: a handler that raises loses its block, not the thread.
        if (size != 0 || m_deliverEmpty) lumlib::CatchReturn([&] { Process(block, size, queueEmpty && at == used ? 1u : 0u); });
    }
}

unsigned __stdcall CTransferBuffer::TransferThread(void* param) {
    CTransferBuffer* self = static_cast<CTransferBuffer*>(param);
    self->m_workerId.store(::GetCurrentThreadId());
    // Without its first block the buffer grows on the first message.
    lumlib::CByteBlock work(kWorkingBufferSize);
    const uint8_t* batch = nullptr;
    uint64_t used = 0;
    bool queueEmpty = false;
    uint32_t dropped = 0;
    uint64_t droppedBytes = 0;
    for (;;) {
        {
            const auto lock = self->m_tbLock.lock_exclusive();
            self->m_inFlight = false;
            self->m_idle.store(self->m_queue->IsEmpty());
            // Only a draining stop waits for this; nobody else pays for the wake.
            if (self->m_draining && self->DrainedLocked()) ::WakeAllConditionVariable(&self->m_progress);
            if (!self->WaitForWorkLocked()) break;
            batch = self->TakeBatchLocked(work, &used, &queueEmpty);
            dropped = self->m_droppedBlocks;
            droppedBytes = self->m_droppedBytes;
            self->m_droppedBlocks = 0;
            self->m_droppedBytes = 0;
        }
        if (dropped != 0) lumlib::CatchReturn([&] { self->Dropped(dropped, droppedBytes); });
        self->Deliver(batch, used, queueEmpty);
        if (queueEmpty) ShrinkToStandard(work, kWorkingBufferSize);
    }
    self->m_workerId.store(0);
    return 0;
}
