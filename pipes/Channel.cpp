#include "pipes/Channel.h"

#include <cstring>
#include <new>

#include "pipes/FrameReader.h"

namespace {

const wchar_t kChannelModule[] = L"Channel";

// Raise sites: each keeps its own fixed line so that a report names the step.
enum : uint32_t {
    kLineReceiveBuffer = 221,
    kLineNoConnection = 228,
    kLineReceiveQueue = 266,
    kLineNoData = 504,
    kLineLost = 506,
    kLineDispatchThread = 534,
    kLineReceiveThread = 546,
};

// What one read asks the connection for; the frame reader keeps what does
// not make a whole frame yet.
const uint32_t kInitialReceiveBuffer = 4096;
const DWORD kDispatchPollMs = 100;
// What the frame buffer goes back to after a large message.
const uint64_t kStandardFrameBuffer = 16 * 1024;

// One of the channel's locks (critical sections) held for a region, released
// on every way out.
class CRegion {
public:
    explicit CRegion(CRITICAL_SECTION* lock) : m_lock(lock) { m_lock.Lock(); }
    void Unlock() { m_lock.Unlock(); }

private:
    lumlib::__auto_locker m_lock;
};

}  // namespace

// ---- CChannel: construction and destruction --------------------------------

CChannel::CChannel(CConnection* connection)
    : CTransferBuffer(),
      m_connection(nullptr),
      m_receiveQueue(nullptr),
      m_notStarted(1),
      m_closing(0),
      m_receiveBuffer(kInitialReceiveBuffer) {
    // The transfer worker runs already: stop it before the exception leaves,
    // as the destructor would (the holders close whatever was created).
    auto fail = [this](uint32_t error, uint32_t line) {
        StopTransfer(1);
        throw new CLumException(error, kChannelModule, line, L"");
    };
    if (m_receiveBuffer.empty()) fail(ERROR_NOT_ENOUGH_MEMORY, kLineReceiveBuffer);
    if (!connection) fail(ERROR_INVALID_PARAMETER, kLineNoConnection);
    const uint32_t error = lumlib::CatchReturn([this] { m_receiveQueue = new CBuffersList(); });
    if (error != ERROR_SUCCESS) fail(error, kLineReceiveQueue);
    m_connection = connection;  // the caller keeps it until construction succeeded
    SetQueueCap(kSendQueueCap);
}

CChannel::~CChannel() {
    // End the transfer worker before the members Process uses go away;
    // frames not yet written are dropped. The channel threads have ended
    // already when the derived class called Shutdown; this is the safety net.
    StopTransfer(1);
    StopDispatcher(true);
    m_receiveThread.Join();
    delete m_receiveQueue;
    m_receiveQueue = nullptr;
}

void CChannel::StartThreads() {
    if (!m_notStarted) return;
    // Both start suspended: the dispatch thread waits for the receive thread
    // once the connection is lost, which may happen at once.
    DWORD error = m_dispatchThread.Start(DispatchThread, this, true);
    if (error != ERROR_SUCCESS) throw new CLumException(error, kChannelModule, kLineDispatchThread, L"");
    error = m_receiveThread.Start(ReceiveThread, this, true);
    if (error != ERROR_SUCCESS) {
        StopDispatcher(true);  // sees the stop at once
        throw new CLumException(error, kChannelModule, kLineReceiveThread, L"");
    }
    m_receiveThread.Resume();
    m_dispatchThread.Resume();
    m_notStarted = 0;
}

// ---- Sending ---------------------------------------------------------------

void CChannel::SendData(const void* data, uint32_t size) {
    if (IsLost()) throw new CLumException(ERROR_CONNECTION_ABORTED, kChannelModule, kLineLost, L"");
    if (!data && size) throw new CLumException(ERROR_INVALID_PARAMETER, kChannelModule, kLineNoData, L"");
    // A message the queue refused (no memory) was never queued: say so.
    if (!Push(data, size)) throw new CLumException(ERROR_NOT_ENOUGH_MEMORY, kChannelModule, kLineNoData, L"");
}

uint32_t CChannel::Process(const uint8_t* data, uint64_t size, uint32_t /*queueEmpty*/) {
    // Lost: what is still queued is dropped at once, not handed to a write
    // that would wait out its stall bound again.
    if (IsLost()) return 0;
    CRegion sendLock(m_sendLock.get());
    if (!m_connection) return 0;  // released: the message is dropped
    const uint32_t length = static_cast<uint32_t>(size);
    uint8_t header[kFrameLengthSize];
    StoreFrameLength(header, length);
    lumlib::LumFailure cause;
    const uint32_t error = lumlib::CatchReturn([&] {
        auto writeAll = [this](const uint8_t* p, uint32_t left) {
            while (left) {
                uint32_t written = left;
                m_connection->Write(p, &written);
                if (written > left) written = left;
                p += written;
                left -= written;
            }
        };
        // Length and message in one write: each write is a kernel call and a
        // completion to wait for. Without room for the copy, two writes.
        if (m_frame.Grow(kFrameLengthSize + size)) {
            std::memcpy(m_frame.get(), header, kFrameLengthSize);
            if (length) std::memcpy(m_frame.get() + kFrameLengthSize, data, length);
            writeAll(m_frame.get(), kFrameLengthSize + length);
            ShrinkToStandard(m_frame, kStandardFrameBuffer);
        } else {
            writeAll(header, kFrameLengthSize);
            writeAll(data, length);
        }
    }, &cause);
    if (error == ERROR_SUCCESS) return 1;
    sendLock.Unlock();
    // The connection's write bound (the service stopped reading) is reported;
    // a cancel or a broken pipe is the loss itself.
    if (error == ERROR_TIMEOUT) OnWriteStalled();
    // The rest of the frame is lost; the channel is done for.
    MarkLost(&cause);
    return 0;
}

// ---- Receiving -------------------------------------------------------------

unsigned __stdcall CChannel::ReceiveThread(void* self) {
    CChannel* channel = static_cast<CChannel*>(self);
    // The connection stays attached while this thread runs: it is detached
    // only after this thread has ended.
    CConnection* connection = channel->m_connection;
    lumlib::CByteBlock& chunk = channel->m_receiveBuffer;
    CFrameReader reader(kMaxFrame);
    // Any failure (a broken or cancelled connection, a frame that is too
    // long, or cannot be held or queued) ends the connection; nothing leaves
    // the thread.
    lumlib::LumFailure cause;
    lumlib::CatchReturn([&] {
        while (!channel->IsLost() && connection) {
            // Whatever has arrived, up to one buffer: the reader cuts it into frames.
            uint32_t got = static_cast<uint32_t>(chunk.capacity());
            if (!connection->Read(chunk.get(), &got) || !reader.Append(chunk.get(), got)) return;
            const uint8_t* message = nullptr;
            uint32_t length = 0;
            CFrameReader::Result result;
            while ((result = reader.Next(&message, &length)) == CFrameReader::kFrame) {
                {
                    // Room first, copy second: a full queue stops the reading
                    // here, and the pipe makes the service wait.
                    CRegion receiveLock(channel->m_receiveLock.get());
                    const uint64_t footprint = CBuffersList::Footprint(length);
                    if (!channel->WaitForRoomLocked(footprint)) return;
                    channel->m_receiveQueue->Write(length, message);
                    channel->m_receivedBytes += footprint;
                }
                // Costs nothing while the dispatcher is busy announcing.
                ::WakeConditionVariable(&channel->m_dispatchWork);
            }
            if (result == CFrameReader::kTooLarge) {
                channel->OnFrameRefused(reader.Announced());
                return;
            }
            // A large frame grew the reader's buffer: let it go once nothing is pending.
            if (reader.Pending() == 0 && length > kShrinkAbove) reader.Reset();
        }
    }, &cause);
    channel->MarkLost(&cause);
    return 0;
}

unsigned __stdcall CChannel::DispatchThread(void* self) {
    CChannel* channel = static_cast<CChannel*>(self);
    CRITICAL_SECTION* lock = channel->m_receiveLock.get();
    for (;;) {
        CRegion receiveLock(lock);
        // Held once here, as sleeping on the condition requires.
        while (!channel->DispatchWorkLocked()) ::SleepConditionVariableCS(&channel->m_dispatchWork, lock, INFINITE);
        if (channel->m_stopRequested) break;
        if (!channel->m_closing && !channel->m_receiveQueue->IsEmpty()) {
            // Messages that arrived before a loss are still announced.
            const uint64_t size = channel->m_receiveQueue->GetNextSize();
            receiveLock.Unlock();
            channel->OnDataReceived(static_cast<uint32_t>(size));
            continue;
        }
        // Lost, and everything received before the loss announced (after a
        // Disconnect what is still queued is not announced).
        while (!channel->m_closing && !channel->m_stopRequested) {
            if (channel->OnDisconnected()) break;
            // Asked again every 100 ms. Only an event wakes the wait early (a
            // late frame, a stop), never a state that stays set: no spinning.
            ::SleepConditionVariableCS(&channel->m_dispatchWork, lock, kDispatchPollMs);
        }
        break;
    }

    // Ends a read still pending in ReceiveThread.
    channel->CancelConnection();
    if (!channel->IsLost()) return 0;

    // The connection is lost: release it once nobody reads from it any more.
    if (channel->m_receiveThread.IsStarted()) ::WaitForSingleObject(channel->m_receiveThread.handle(), INFINITE);
    if (CConnection* connection = channel->DetachConnection()) connection->Release();
    return 0;
}

void CChannel::MarkLost(const lumlib::LumFailure* cause) {
    {
        CRegion receiveLock(m_receiveLock.get());
        if (cause != nullptr && !m_lostCauseKnown && !IsLost()) {
            m_lostCause = *cause;
            m_lostCauseKnown = true;
        }
        ::InterlockedExchange(&m_lost, 1);
    }
    ::WakeAllConditionVariable(&m_dispatchWork);
    WakeReceiver();
}

bool CChannel::WaitForRoomLocked(uint64_t footprint) {
    while (m_receivedBytes != 0 && m_receivedBytes + footprint > kReceiveQueueCap) {
        if (IsLost() || m_closing || m_stopRequested) return false;
        m_roomWanted = footprint;
        ::SleepConditionVariableCS(&m_receiveRoom, m_receiveLock.get(), INFINITE);
    }
    m_roomWanted = 0;
    return true;
}

void CChannel::ReleaseRoomLocked(uint64_t footprint) {
    m_receivedBytes = footprint != 0 && m_receivedBytes > footprint ? m_receivedBytes - footprint : 0;
    // The waiting reader is woken once half the queue is free for its frame,
    // not for every message taken while the queue is nearly full.
    if (m_roomWanted != 0 && (m_receivedBytes == 0 || m_receivedBytes + m_roomWanted <= kReceiveQueueCap / 2)) WakeReceiver();
}

void CChannel::StopDispatcher(bool join) {
    {
        CRegion receiveLock(m_receiveLock.get());
        m_stopRequested = true;
    }
    ::WakeAllConditionVariable(&m_dispatchWork);
    WakeReceiver();
    if (join)
        m_dispatchThread.Stop();
    else
        m_dispatchThread.Signal();
}

uint32_t CChannel::ReadData(void* destination, uint32_t* size) {
    CRegion receiveLock(m_receiveLock.get());
    if (!destination || !size || *size == 0 || m_receiveQueue->IsEmpty()) return 0;
    uint32_t taken = 0;
    {
        lumlib::__auto_locker queueLock(m_receiveQueue->GetLock());
        queueLock.Lock();
        uint64_t length = 0;
        const uint8_t* message = m_receiveQueue->Read(&length, 0);
        const uint32_t offset = m_receiveQueue->GetPartialOffset();
        if (message && offset < length) {
            uint64_t left = length - offset;
            uint32_t n = left < *size ? static_cast<uint32_t>(left) : *size;
            if (m_receiveQueue->GrowPartBuffer(n)) {
                std::memcpy(m_receiveQueue->GetPartBuffer(), message + offset, n);
                if (offset + n == length) {
                    m_receiveQueue->Read(nullptr, 1);
                    m_receiveQueue->SetPartialOffset(0);
                    ReleaseRoomLocked(CBuffersList::Footprint(length));
                } else {
                    m_receiveQueue->SetPartialOffset(offset + n);
                }
                taken = n;
            }
        }
    }
    if (!taken) return 0;
    // The part buffer is only used under the receive lock, which is still held.
    std::memcpy(destination, m_receiveQueue->GetPartBuffer(), taken);
    *size = taken;
    return 1;
}

uint32_t CChannel::TakeMessage(uint8_t** buffer, uint32_t* length, bool allocate) {
    if (buffer == nullptr || length == nullptr) return 0;
    // Lock order: the receive lock, then the queue's own.
    CRegion receiveLock(m_receiveLock.get());
    CBuffersList* queue = m_receiveQueue;
    lumlib::__auto_locker queueLock(queue->GetLock());
    queueLock.Lock();
    if (queue->IsEmpty()) return 0;

    // The whole front block, including any part a partial reader already took.
    const uint64_t size = queue->GetNextSize() + queue->GetPartialOffset();
    if (size > kMaxFrame) return 0;  // never queued: frames longer are refused

    lumlib::CByteBlock copy;
    uint8_t* destination = *buffer;
    if (allocate) {
        // Allocated before the message leaves the queue, so a failure loses nothing.
        if (!copy.Resize(size != 0 ? size : 1)) {
            *length = static_cast<uint32_t>(size);
            return 0;
        }
        destination = copy.get();
    } else {
        const uint32_t capacity = *length;
        if (capacity != 0 && size > capacity) {
            *length = static_cast<uint32_t>(size);  // tells the caller how much room it needs
            return 0;
        }
        if (destination == nullptr && size != 0) return 0;
    }

    // Straight into the destination: never past the room that was checked.
    uint64_t taken = 0;
    if (!queue->TakeInto(destination, size, &taken)) return 0;
    queue->SetPartialOffset(0);  // the block a partial reader had begun is gone
    ReleaseRoomLocked(CBuffersList::Footprint(size));
    if (allocate) *buffer = copy.release();
    *length = static_cast<uint32_t>(taken);
    return 1;
}

// ---- Ending ----------------------------------------------------------------

void CChannel::CancelConnection() {
    const auto cancelLock = m_cancelLock.lock();
    if (m_connection) m_connection->Cancel();
}

CConnection* CChannel::DetachConnection() {
    // The send lock waits for a frame being written (the cancel ends it).
    CRegion sendLock(m_sendLock.get());
    const auto cancelLock = m_cancelLock.lock();
    CConnection* connection = m_connection;
    m_connection = nullptr;
    return connection;
}

void CChannel::Disconnect() {
    // Without the send lock: the transfer thread may hold it in a write that
    // only this cancel can end.
    {
        const auto cancelLock = m_cancelLock.lock();
        if (m_connection) {
            m_closing = 1;
            m_connection->Cancel();
        }
    }
    // A reader waiting for room must see the flag: it is set outside the
    // receive lock, so pass through that lock before waking (no lost wake-up).
    { CRegion receiveLock(m_receiveLock.get()); }
    WakeReceiver();
}

uint32_t CChannel::RequestStop() {
    StopDispatcher(false);
    if (!m_receiveThread.IsStarted() || !m_dispatchThread.IsStarted()) return 1;
    return m_receiveThread.HasEnded() && m_dispatchThread.HasEnded() ? 1 : 0;
}

void CChannel::DropReceived() {
    CRegion receiveLock(m_receiveLock.get());
    m_receiveQueue->FreeChain();
    ReleaseRoomLocked(0);
}

void CChannel::Shutdown() {
    // DispatchThread ends at once and cancels the connection, which
    // ends the read that ReceiveThread may be waiting in. The dispatch thread
    // is joined first: it may be waiting on the receive thread's handle.
    StopDispatcher(true);
    m_receiveThread.Join();
    DropReceived();
    if (CConnection* connection = DetachConnection()) connection->Release();
    m_notStarted = 1;
}

// ---- CSinglePipeChannel ----------------------------------------------------

CSinglePipeChannel::CSinglePipeChannel(CConnection* connection, IChannelOwner* owner)
    : CChannel(connection), m_owner(owner) {
    // If this raises, the channel part is destroyed (its threads have ended)
    // and the connection stays with the caller.
    try {
        StartThreads();
    } catch (CLumException*) {
        m_connection = nullptr;
        throw;
    }
}

CSinglePipeChannel::~CSinglePipeChannel() { Shutdown(); }

void CSinglePipeChannel::OnDataReceived(uint32_t size) {
    if (m_owner) m_owner->OnDataAvailable(size);
}

uint32_t CSinglePipeChannel::OnDisconnected() {
    // Called under the receive lock, which guards the cause.
    if (m_owner) m_owner->OnLossCause(m_lostCause);
    if (m_owner) m_owner->OnConnectionLost();
    return 1;
}

void CSinglePipeChannel::OnFrameRefused(uint32_t length) {
    if (m_owner) m_owner->OnFrameRefused(length);
}

void CSinglePipeChannel::OnWriteStalled() {
    if (m_owner) m_owner->OnWriteStalled();
}
