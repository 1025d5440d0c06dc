#include "pipes/TransferBuffer.h"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

namespace {

const wchar_t kListModule[] = L"BuffersList";
const wchar_t kTransferModule[] = L"TransferBuffer";

// Raise sites keep fixed line numbers, whatever the layout of this file.
const uint32_t kLineListRefillEvent = 42;
const uint32_t kLineListRefillThread = 56;
const uint32_t kLineListAllocate = 93;
const uint32_t kLineTbQueue = 25;
const uint32_t kLineTbThread = 54;

const unsigned kRefillThreadStack = 16384;
const size_t kWorkingBufferSize = 8096;
const DWORD kDrainPollMs = 20;
const uint64_t kPrefixSize = sizeof(uint64_t);

using lumlib::IsSignalled;
using lumlib::NewEvent;

[[noreturn]] void RaiseOutOfMemory() {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    throw new CLumException(ERROR_NOT_ENOUGH_MEMORY, kListModule, kLineListAllocate, L"");
}

}  // namespace

// ---- CBuffersList ------------------------------------------------------

CBuffersList::CBuffersList()
    : m_bufferSize(kBufferSize),
      m_refillCount(kRefillCount),
      m_spareLimit(kSpareLimit),
      m_readOffset(0),
      m_partialOffset(0),
      m_writeOffset(0),
      m_refillEnabled(1),
      // A failed first allocation leaves capacity 0; Read and the partial
      // reader grow the buffers on demand and report the failure there.
      m_blockBuffer(static_cast<size_t>(kBufferSize)),
      m_partBuffer(static_cast<size_t>(kBufferSize)) {
    // Holders and blocks free themselves if a step raises; the pool's buffers
    // are freed here.
    auto fail = [this](uint32_t line, DWORD error, const wchar_t* text) {
        FreeBuffers();
        throw new CLumException(error, kListModule, line, text);
    };

    m_refillEvent.reset(NewEvent());
    if (!m_refillEvent.is_valid()) fail(kLineListRefillEvent, ::GetLastError(), L"");

    try {
        AllocateNewBuffers(m_refillCount);
    } catch (CLumException*) {
        FreeBuffers();
        throw;
    }

    // The worker's stop event is the refill thread's quit event.
    const DWORD error = m_refill.Start(&CBuffersList::AllocateNewBuffersThread, this, false, kRefillThreadStack);
    if (error != ERROR_SUCCESS) fail(kLineListRefillThread, error, L"error creating of AllocateNewBuffersThread()");
}

void CBuffersList::FreeBuffers() {
    for (uint8_t* b : m_chain) std::free(b);
    m_chain.clear();
    for (uint8_t* b : m_spares) std::free(b);
    m_spares.clear();
}

CBuffersList::~CBuffersList() {
    m_refill.Stop();
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    FreeBuffers();
}

void CBuffersList::AllocateNewBuffers(uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        // Allocated outside the lock so that writers are not held up.
        uint8_t* buffer = static_cast<uint8_t*>(lumlib::Realloc(nullptr, static_cast<size_t>(m_bufferSize)));
        if (!buffer) RaiseOutOfMemory();
        lumlib::__auto_locker lock(m_lock.get());
        lock.Lock();
        if (m_spares.size() >= m_spareLimit) {
            // Releases refilled the list meanwhile; never keep more than the limit.
            std::free(buffer);
            continue;
        }
        try {
            m_spares.push_back(buffer);
        } catch (const std::bad_alloc&) {
            std::free(buffer);
            RaiseOutOfMemory();
        }
    }
}

void CBuffersList::AddBuffer() {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    if (m_spares.empty()) AllocateNewBuffers(m_refillCount);
    if (m_spares.empty()) RaiseOutOfMemory();
    size_t spares = m_spares.size();
    // splice moves the node itself: taking a spare never allocates
    m_chain.splice(m_chain.end(), m_spares, m_spares.begin());
    if (m_refillEnabled && spares - 1 < m_refillCount) ::SetEvent(m_refillEvent.get());
    m_writeOffset = 0;
}

void CBuffersList::ReleaseFrontBuffer() {
    if (m_spares.size() < m_spareLimit) {
        // Taken first by the next AddBuffer: the buffer just used is still in the cache.
        m_spares.splice(m_spares.begin(), m_chain, m_chain.begin());
    } else {
        std::free(m_chain.front());
        m_chain.pop_front();
    }
}

void CBuffersList::Write(uint64_t size, const void* data) {
    if (size != 0 && data == nullptr) return;  // nothing to copy from: no block
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    const size_t chainBefore = m_chain.size();
    const uint32_t writeBefore = m_writeOffset;
    try {
        if (m_chain.empty() || m_bufferSize - m_writeOffset < kPrefixSize) AddBuffer();
        std::memcpy(m_chain.back() + m_writeOffset, &size, kPrefixSize);
        m_writeOffset += static_cast<uint32_t>(kPrefixSize);
        const uint8_t* src = static_cast<const uint8_t*>(data);
        uint64_t left = size;
        while (m_bufferSize - m_writeOffset < left) {
            uint64_t space = m_bufferSize - m_writeOffset;
            std::memcpy(m_chain.back() + m_writeOffset, src, static_cast<size_t>(space));
            src += space;
            left -= space;
            AddBuffer();
        }
        if (left) std::memcpy(m_chain.back() + m_writeOffset, src, static_cast<size_t>(left));
        m_writeOffset += static_cast<uint32_t>(left);
    } catch (...) {
        // No buffer for the rest of the block: take the partial block back so
        // that no reader ever meets a prefix without its payload.
        while (m_chain.size() > chainBefore) m_spares.splice(m_spares.begin(), m_chain, std::prev(m_chain.end()));
        m_writeOffset = writeBefore;
        throw;
    }
}

uint8_t* CBuffersList::Read(uint64_t* size, uint32_t remove) { return ReadFront(size, remove, true); }

bool CBuffersList::DropFront() {
    uint64_t size = 0;
    return ReadFront(&size, 1, false) != nullptr;
}

bool CBuffersList::TakeInto(void* destination, uint64_t capacity, uint64_t* size) {
    uint8_t none = 0;  // an empty block needs no room, but a target
    return ReadFront(size, 1, true, destination ? static_cast<uint8_t*>(destination) : &none, destination ? capacity : 0) != nullptr;
}

// copy = false walks the block without copying it (DropFront); the result is
// then only a non-null marker.
uint8_t* CBuffersList::ReadFront(uint64_t* size, uint32_t remove, bool copy, uint8_t* into, uint64_t room) {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    if (size) *size = 0;
    if (m_chain.empty()) return nullptr;

    if (m_chain.size() == 1 && m_readOffset == m_writeOffset) {
        if (remove) {
            ReleaseFrontBuffer();
            m_readOffset = m_partialOffset = m_writeOffset = 0;
        }
        return nullptr;
    }

    // Walk without touching the queue; buffers are released and offsets moved
    // only once the whole block has been copied, so every failure below leaves
    // the queue exactly as it was.
    auto it = m_chain.begin();
    uint64_t offset = m_readOffset;
    size_t passed = 0;  // front buffers the block has left behind
    auto isLast = [this](std::list<uint8_t*>::iterator i) { return std::next(i) == m_chain.end(); };
    auto limit = [&](std::list<uint8_t*>::iterator i) { return isLast(i) ? uint64_t(m_writeOffset) : m_bufferSize; };

    if (m_bufferSize - offset < kPrefixSize) {
        if (isLast(it)) return nullptr;
        ++it;
        ++passed;
        offset = 0;
    }
    if (limit(it) < offset + kPrefixSize) return nullptr;  // no complete prefix queued

    uint64_t length;
    std::memcpy(&length, *it + offset, kPrefixSize);
    offset += kPrefixSize;

    // On failure the block stays at the front, untouched; the caller may retry.
    // A buffer a large block grew goes back to its standard size at the next
    // small one, so the largest block does not stay committed.
    if (into != nullptr && length > room) return nullptr;
    if (copy && !into && length <= m_bufferSize) ShrinkToStandard(m_blockBuffer, m_bufferSize);
    if (copy && !into && !GrowScratch(m_blockBuffer, length)) return nullptr;
    uint8_t* const target = into ? into : m_blockBuffer.get();

    uint64_t copied = 0;
    for (;;) {
        uint64_t available = limit(it) > offset ? limit(it) - offset : 0;
        uint64_t n = length - copied < available ? length - copied : available;
        if (copy) std::memcpy(target + copied, *it + offset, static_cast<size_t>(n));
        offset += n;
        copied += n;
        if (size) *size = copied;
        if (copied == length) break;
        if (isLast(it)) {  // payload shorter than its prefix says: never written so
            if (size) *size = 0;
            return nullptr;
        }
        ++it;
        ++passed;
        offset = 0;
    }
    if (m_bufferSize - offset < kPrefixSize) {
        ++it;
        ++passed;
        offset = 0;
    }

    if (remove) {
        for (; passed; --passed) ReleaseFrontBuffer();
        // the partial offset belongs to the block just removed
        m_partialOffset = 0;
        if (m_chain.empty()) {
            m_readOffset = m_writeOffset = 0;
        } else if (m_chain.size() == 1 && offset == m_writeOffset) {
            ReleaseFrontBuffer();
            m_readOffset = m_writeOffset = 0;
        } else {
            m_readOffset = static_cast<uint32_t>(offset);
        }
    }
    return copy ? target : reinterpret_cast<uint8_t*>(this);
}

uint32_t CBuffersList::IsEmptyLocked() const {
    return (m_chain.empty() || (m_chain.size() == 1 && m_readOffset == m_writeOffset)) ? 1u : 0u;
}

uint32_t CBuffersList::IsEmpty() {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    return IsEmptyLocked();
}

uint64_t CBuffersList::GetNextSize() {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    if (IsEmptyLocked()) return 0;
    auto it = m_chain.begin();
    uint64_t offset = m_readOffset;
    if (m_bufferSize - offset < kPrefixSize) {
        if (std::next(it) == m_chain.end()) return 0;
        ++it;
        offset = 0;
    }
    uint64_t length;
    std::memcpy(&length, *it + offset, kPrefixSize);
    return length > m_partialOffset ? length - m_partialOffset : 0;
}

void CBuffersList::Clear() {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    // The destructor frees the spares right after, so the limit does not apply.
    m_spares.splice(m_spares.end(), m_chain);
    m_readOffset = m_writeOffset = 0;
}

void CBuffersList::FreeChain() {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    for (uint8_t* b : m_chain) std::free(b);
    m_chain.clear();
    m_readOffset = m_writeOffset = 0;
    m_partialOffset = 0;  // no block left for a partial reader to continue
}

// Grows a scratch buffer (block or part buffer) to at least size bytes. On
// failure the buffer is freed and its capacity becomes 0, so a stale capacity
// is never trusted.
bool CBuffersList::GrowScratch(lumlib::CByteBlock& block, uint64_t size) {
    if (block.Grow(size ? size : 1)) return true;
    block.reset();
    return false;
}

bool CBuffersList::GrowPartBuffer(uint64_t size) {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    return size == 0 || GrowScratch(m_partBuffer, size);
}

size_t CBuffersList::GetSpareCount() {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    return m_spares.size();
}

size_t CBuffersList::GetChainCount() {
    lumlib::__auto_locker lock(m_lock.get());
    lock.Lock();
    return m_chain.size();
}

unsigned __stdcall CBuffersList::AllocateNewBuffersThread(void* param) {
    CBuffersList* self = static_cast<CBuffersList*>(param);
    HANDLE events[2] = {self->m_refillEvent.get(), self->m_refill.StopEvent()};
    DWORD result = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
    while (result == WAIT_OBJECT_0) {
        if (IsSignalled(events[1])) break;
        ::ResetEvent(events[0]);
        // Out of memory here is not fatal: what was appended stays, the next
        // refill request tries again, and a Write that finds no spare
        // allocates (and reports the failure) itself.
        lumlib::CatchReturn([self] { self->AllocateNewBuffers(self->m_refillCount); });
        result = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
    }
    return 0;
}

// ---- CTransferBuffer ---------------------------------------------------

CTransferBuffer::CTransferBuffer() : m_queue(nullptr) {
    // The holders close what was made if a later step raises.
    auto fail = [this](uint32_t line, DWORD error) {
        delete m_queue;
        m_queue = nullptr;
        throw new CLumException(error, kTransferModule, line, L"");
    };

    const DWORD queueError = lumlib::CatchReturn([this] { m_queue = new CBuffersList(); });
    if (queueError != ERROR_SUCCESS) fail(kLineTbQueue, queueError);
    // Started suspended, resumed last.
    const DWORD error = m_worker.Start(&CTransferBuffer::TransferThread, this, true);
    if (error != ERROR_SUCCESS) fail(kLineTbThread, error);
    m_worker.Resume();
}

CTransferBuffer::~CTransferBuffer() {
    // Every class that overrides Process stops the worker in its own
    // destructor: by now the derived part is gone, and a worker still running
    // could be inside its Process. The stop below is only the safety net of a
    // release build (Process is the base's no-op from here on).
    assert(IsWorkerStopped());
    StopTransfer(1);
    delete m_queue;
    m_queue = nullptr;
}

uint32_t CTransferBuffer::Push(const void* data, uint64_t size) { return PushBlock(data, size, false); }

uint32_t CTransferBuffer::PushBlock(const void* data, uint64_t size, bool wake) {
    if (::InterlockedCompareExchange(&m_closing, 0, 0) != 0) return 0;
    if (size != 0 && data == nullptr) return 0;
    {
        lumlib::__auto_locker lock(m_tbLock.get());
        lock.Lock();
        const uint64_t footprint = CBuffersList::Footprint(size);
        if (m_queueCap != 0 && m_queuedBytes + footprint > m_queueCap) return 0;
        // out of memory: nothing was queued (the list took the block back)
        if (lumlib::CatchReturn([&] { m_queue->Write(size, data); }) != ERROR_SUCCESS) return 0;
        m_queuedBytes += footprint;
        m_stalled = false;
        // A lingering worker finds the block within its linger.
        wake = wake || m_lingerMs == 0 || m_asleep;
    }
    // With nobody waiting (the worker is busy and drains all that is queued) this costs nothing.
    if (wake) ::WakeConditionVariable(&m_workChanged);
    return 1;
}

void CTransferBuffer::SetLinger(DWORD lingerMs, DWORD idleMs) {
    lumlib::__auto_locker lock(m_tbLock.get());
    lock.Lock();
    m_lingerMs = lingerMs;
    m_idleMs = idleMs;
}

void CTransferBuffer::SetQueueCap(uint64_t bytes) {
    lumlib::__auto_locker lock(m_tbLock.get());
    lock.Lock();
    m_queueCap = bytes;
}

void CTransferBuffer::ClearQueue() {
    lumlib::__auto_locker lock(m_tbLock.get());
    lock.Lock();
    m_queue->FreeChain();
    m_queuedBytes = 0;
    m_stalled = false;
}

DWORD CTransferBuffer::StopTransfer(uint32_t immediate) {
    if (immediate) {
        ::InterlockedExchange(&m_closing, 1);
        ClearQueue();
    } else {
        ::WakeAllConditionVariable(&m_workChanged);  // a lingering worker starts now
        for (;;) {
            {
                lumlib::__auto_locker lock(m_tbLock.get());
                lock.Lock();
                // Empty and nothing taken but undelivered: quitting now loses nothing.
                const bool idle = ::InterlockedCompareExchange(&m_inFlight, 0, 0) == 0;
                if (m_queue->IsEmpty() && idle) break;
                // Blocks nobody can take any more: the worker has ended, or
                // it gave up on the front block and waits for a push.
                if (m_worker.HasEnded() || (m_stalled && idle)) break;
            }
            ::Sleep(kDrainPollMs);
        }
    }
    {
        lumlib::__auto_locker lock(m_tbLock.get());
        lock.Lock();
        m_quit = true;
    }
    ::WakeAllConditionVariable(&m_workChanged);
    // Called on the worker itself (from Process) it cannot wait for itself.
    return m_worker.Stop() ? WAIT_OBJECT_0 : WAIT_FAILED;
}

bool CTransferBuffer::TakeBlock(lumlib::CByteBlock& work, uint64_t* size, uint32_t* queueEmpty) {
    lumlib::__auto_locker lock(m_tbLock.get());
    lock.Lock();
    *queueEmpty = 0;
    if (m_quit) return false;  // a stop between the wait and here: deliver nothing more
    bool taken = false;
    bool dropped = false;
    // Grow first, take second. When there is no memory for the copy the block
    // is dropped: left queued it would stop every block behind it, and ending
    // the worker would stop them for good.
    const uint64_t next = m_queue->GetNextSize();
    if (work.Grow(next ? next : 1) && m_queue->TakeInto(work.get(), work.capacity(), size)) {
        taken = true;
        // Taken under the lock, so a draining stop that finds the queue
        // empty also sees that this block is not yet delivered.
        ::InterlockedExchange(&m_inFlight, 1);
    } else if (!m_queue->IsEmpty() && m_queue->DropFront()) {
        ::InterlockedIncrement(&m_dropped);
        dropped = true;
    }
    if (taken || dropped) {
        const uint64_t footprint = CBuffersList::Footprint(next);
        m_queuedBytes = m_queuedBytes > footprint ? m_queuedBytes - footprint : 0;
    }
    *queueEmpty = m_queue->IsEmpty();
    // Neither taken nor dropped: looking again before the next push would spin.
    if (!taken && !dropped && !*queueEmpty) m_stalled = true;
    return taken;
}

unsigned __stdcall CTransferBuffer::TransferThread(void* param) {
    CTransferBuffer* self = static_cast<CTransferBuffer*>(param);
    // Without its first block the buffer grows on the first message.
    lumlib::CByteBlock work(kWorkingBufferSize);

    for (;;) {
        {
            lumlib::__auto_locker lock(self->m_tbLock.get());
            lock.Lock();
            // Held once here, as sleeping on the condition requires. A
            // lingering worker looks again every m_lingerMs until it has been
            // idle for m_idleMs, then sleeps until a push wakes it.
            DWORD idle = 0;
            while (!self->HasWorkLocked()) {
                const bool linger = self->m_lingerMs != 0 && idle < self->m_idleMs;
                self->m_asleep = !linger;
                ::SleepConditionVariableCS(&self->m_workChanged, self->m_tbLock.get(), linger ? self->m_lingerMs : INFINITE);
                idle += self->m_lingerMs;
            }
            self->m_asleep = false;
            if (self->m_quit) break;
        }
        uint64_t size = 0;
        uint32_t queueEmpty = 0;
        const bool taken = self->TakeBlock(work, &size, &queueEmpty);
        if (!taken || size == 0) {
            ::InterlockedExchange(&self->m_inFlight, 0);
            continue;
        }
        self->Process(work.get(), size, queueEmpty);
        ::InterlockedExchange(&self->m_inFlight, 0);
        if (queueEmpty) ShrinkToStandard(work, kWorkingBufferSize);
    }
    return 0;
}
