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
    kLineReceivedEvent = 236,
    kLineDisconnectedEvent = 248,
    kLineReceiveLock = 254,
    kLineSendLock = 260,
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

using lumlib::IsSignalled;
using lumlib::NewEvent;
using lumlib::NewMutex;

// One of the channel's mutexes held for a region: a stack CMutexObj under a
// CSyncLock, released on every way out.
class CRegion {
public:
    explicit CRegion(HANDLE mutex) : m_mutex(mutex), m_lock(&m_mutex) { m_lock.Lock(); }
    void Unlock() { m_lock.Unlock(); }

private:
    lumlib::CMutexObj m_mutex;
    CSyncLock m_lock;
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
    m_receivedEvent.reset(NewEvent());
    if (!m_receivedEvent.is_valid()) fail(::GetLastError(), kLineReceivedEvent);
    m_disconnectedEvent.reset(NewEvent());
    if (!m_disconnectedEvent.is_valid()) fail(::GetLastError(), kLineDisconnectedEvent);
    m_receiveLock.reset(NewMutex());
    if (!m_receiveLock.is_valid()) fail(::GetLastError(), kLineReceiveLock);
    m_sendLock.reset(NewMutex());
    if (!m_sendLock.is_valid()) fail(::GetLastError(), kLineSendLock);
    const uint32_t error = lumlib::CatchReturn([this] { m_receiveQueue = new CBuffersList(); });
    if (error != ERROR_SUCCESS) fail(error, kLineReceiveQueue);
    m_connection = connection;  // the caller keeps it until construction succeeded
}

CChannel::~CChannel() {
    // End the transfer worker before the members Process uses go away;
    // frames not yet written are dropped.
    StopTransfer(1);
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
        m_dispatchThread.Stop();  // sees the stop event at once
        throw new CLumException(error, kChannelModule, kLineReceiveThread, L"");
    }
    m_receiveThread.Resume();
    m_dispatchThread.Resume();
    m_notStarted = 0;
}

// ---- Sending ---------------------------------------------------------------

void CChannel::SendData(const void* data, uint32_t size) {
    if (IsSignalled(m_disconnectedEvent.get())) throw new CLumException(ERROR_CONNECTION_ABORTED, kChannelModule, kLineLost, L"");
    if (!data && size) throw new CLumException(ERROR_INVALID_PARAMETER, kChannelModule, kLineNoData, L"");
    // A message the queue refused (no memory) was never queued: say so.
    if (!Push(data, size)) throw new CLumException(ERROR_NOT_ENOUGH_MEMORY, kChannelModule, kLineNoData, L"");
    ::Sleep(0);
}

uint32_t CChannel::Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) {
    CRegion sendLock(m_sendLock.get());
    if (!m_connection) return 0;  // released: the message is dropped
    uint8_t header[kFrameLengthSize];
    StoreFrameLength(header, static_cast<uint32_t>(size));
    const uint32_t error = lumlib::CatchReturn([&] {
        const uint8_t* parts[2] = {header, data};
        const uint32_t sizes[2] = {kFrameLengthSize, static_cast<uint32_t>(size)};
        for (int i = 0; i < 2; ++i) {
            const uint8_t* p = parts[i];
            for (uint32_t left = sizes[i]; left;) {
                uint32_t written = left;
                m_connection->Write(p, &written);
                if (written > left) written = left;
                p += written;
                left -= written;
            }
        }
    });
    if (error == ERROR_SUCCESS) return 1;
    // The rest of the frame is lost; the channel is done for.
    ::SetEvent(m_disconnectedEvent.get());
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
    lumlib::CatchReturn([&] {
        while (!IsSignalled(channel->m_disconnectedEvent.get()) && connection) {
            // Whatever has arrived, up to one buffer: the reader cuts it into frames.
            uint32_t got = static_cast<uint32_t>(chunk.capacity());
            if (!connection->Read(chunk.get(), &got) || !reader.Append(chunk.get(), got)) return;
            const uint8_t* message = nullptr;
            uint32_t length = 0;
            CFrameReader::Result result;
            while ((result = reader.Next(&message, &length)) == CFrameReader::kFrame) {
                CRegion receiveLock(channel->m_receiveLock.get());
                channel->m_receiveQueue->Write(length, message);
                ::SetEvent(channel->m_receivedEvent.get());
            }
            if (result == CFrameReader::kTooLarge) {
                channel->OnFrameRefused(reader.Announced());
                return;
            }
            // A large frame grew the reader's buffer: let it go once nothing is pending.
            if (reader.Pending() == 0 && length > kShrinkAbove) reader.Reset();
            ::Sleep(0);
        }
    });
    ::SetEvent(channel->m_disconnectedEvent.get());
    return 0;
}

unsigned __stdcall CChannel::DispatchThread(void* self) {
    CChannel* channel = static_cast<CChannel*>(self);
    HANDLE stopEvent = channel->m_dispatchThread.StopEvent();
    if (IsSignalled(stopEvent)) {
        channel->CancelConnection();
        return 0;
    }
    for (;;) {
        if (IsSignalled(channel->m_disconnectedEvent.get())) {
            CRegion receiveLock(channel->m_receiveLock.get());
            if (!IsSignalled(channel->m_receivedEvent.get())) {
                // Everything received before the loss has been announced.
                while (!channel->m_closing) {
                    if (channel->OnDisconnected()) break;
                    HANDLE waits[2] = {stopEvent, channel->m_receivedEvent.get()};
                    DWORD w = ::WaitForMultipleObjects(2, waits, FALSE, kDispatchPollMs);
                    if (w == WAIT_OBJECT_0) break;
                    // A late message keeps the received event set: keep the
                    // 100 ms pace instead of spinning.
                    if (w == WAIT_OBJECT_0 + 1 && ::WaitForSingleObject(stopEvent, kDispatchPollMs) == WAIT_OBJECT_0) {
                        break;
                    }
                }
                receiveLock.Unlock();
                break;
            }
            // Messages that arrived before the loss are still announced.
        } else if (IsSignalled(stopEvent)) {
            break;
        }

        // The stop event ends the wait too, so a stop never waits for the poll.
        HANDLE waits[2] = {channel->m_receivedEvent.get(), stopEvent};
        if (::WaitForMultipleObjects(2, waits, FALSE, kDispatchPollMs) == WAIT_OBJECT_0) {
            CRegion receiveLock(channel->m_receiveLock.get());
            if (channel->m_receiveQueue->IsEmpty()) {
                ::ResetEvent(channel->m_receivedEvent.get());
                receiveLock.Unlock();
                break;
            }
            if (channel->m_closing) {
                // Disconnect: what is still queued is not announced.
                ::ResetEvent(channel->m_receivedEvent.get());
            } else {
                uint64_t size = channel->m_receiveQueue->GetNextSize();
                receiveLock.Unlock();
                channel->OnDataReceived(static_cast<uint32_t>(size));
                ::Sleep(0);
            }
        }
        if (IsSignalled(stopEvent)) break;
    }

    // Ends a read still pending in ReceiveThread.
    channel->CancelConnection();
    if (!IsSignalled(channel->m_disconnectedEvent.get())) return 0;

    // The connection is lost: release it once nobody reads from it any more.
    if (channel->m_receiveThread.IsStarted()) ::WaitForSingleObject(channel->m_receiveThread.handle(), INFINITE);
    if (CConnection* connection = channel->DetachConnection()) connection->Release();
    return 0;
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
    if (m_receiveQueue->IsEmpty()) ::ResetEvent(m_receivedEvent.get());
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

    uint64_t taken = 0;
    const uint8_t* block = queue->Read(&taken, 1);
    if (block == nullptr) return 0;
    queue->SetPartialOffset(0);  // the block a partial reader had begun is gone
    if (taken > size) taken = size;  // never copy past the room that was checked
    if (taken != 0) std::memcpy(destination, block, static_cast<size_t>(taken));
    if (allocate) *buffer = copy.release();
    *length = static_cast<uint32_t>(taken);
    if (queue->IsEmpty()) ::ResetEvent(m_receivedEvent.get());
    return 1;
}

// ---- Ending ----------------------------------------------------------------

void CChannel::CancelConnection() {
    m_cancelLock.lock();
    if (m_connection) m_connection->Cancel();
    m_cancelLock.unlock();
}

CConnection* CChannel::DetachConnection() {
    // The send lock waits for a frame being written (the cancel ends it).
    CRegion sendLock(m_sendLock.get());
    m_cancelLock.lock();
    CConnection* connection = m_connection;
    m_connection = nullptr;
    m_cancelLock.unlock();
    return connection;
}

void CChannel::Disconnect() {
    // Without the send lock: the transfer thread may hold it in a write that
    // only this cancel can end.
    m_cancelLock.lock();
    if (m_connection) {
        m_closing = 1;
        m_connection->Cancel();
    }
    m_cancelLock.unlock();
    ::ResetEvent(m_receivedEvent.get());
}

uint32_t CChannel::RequestStop() {
    m_dispatchThread.Signal();
    if (!m_receiveThread.IsStarted() || !m_dispatchThread.IsStarted()) return 1;
    return m_receiveThread.HasEnded() && m_dispatchThread.HasEnded() ? 1 : 0;
}

void CChannel::DropReceived() {
    CRegion receiveLock(m_receiveLock.get());
    m_receiveQueue->FreeChain();
}

void CChannel::Shutdown() {
    // DispatchThread ends within a poll and cancels the connection, which
    // ends the read that ReceiveThread may be waiting in. The dispatch thread
    // is joined first: it may be waiting on the receive thread's handle.
    m_dispatchThread.Stop();
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
    if (m_owner) m_owner->OnConnectionLost();
    return 1;
}

void CSinglePipeChannel::OnFrameRefused(uint32_t length) {
    if (m_owner) m_owner->OnFrameRefused(length);
}
