#include "pipes/Channel.h"

#include <process.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "pipes/SinglePipeClient.h"

namespace {

const wchar_t kChannelModule[] = L"Channel";

// Raise sites: each keeps its own fixed line so that a report names the step.
enum : uint32_t {
    kLineReceiveBuffer = 221,
    kLineNoConnection = 228,
    kLineReceivedEvent = 236,
    kLineStopEvent = 242,
    kLineDisconnectedEvent = 248,
    kLineReceiveLock = 254,
    kLineSendLock = 260,
    kLineReceiveQueue = 266,
    kLineNoData = 504,
    kLineLost = 506,
    kLineDispatchThread = 534,
    kLineReceiveThread = 546,
};

const uint32_t kInitialReceiveBuffer = 1024;
const DWORD kDispatchPollMs = 100;

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

bool IsSignalled(HANDLE event) { return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

HANDLE NewEvent() { return ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
HANDLE NewMutex() { return ::CreateMutexW(nullptr, FALSE, nullptr); }

}  // namespace

// ---- CChannel: construction and destruction --------------------------------

CChannel::CChannel(CConnection* connection)
    : CTransferBuffer(),
      m_connection(nullptr),
      m_receiveQueue(nullptr),
      m_notStarted(1),
      m_closing(0),
      m_receiveBuffer(nullptr),
      m_receiveBufferSize(0) {
    m_receiveBuffer = static_cast<uint8_t*>(std::malloc(kInitialReceiveBuffer));
    if (!m_receiveBuffer) {
        throw new CLumException(ERROR_NOT_ENOUGH_MEMORY, kChannelModule, kLineReceiveBuffer, L"");
    }
    m_receiveBufferSize = kInitialReceiveBuffer;
    // The holders close whatever was created if a later step raises; the
    // receive buffer is ours to free.
    try {
        if (!connection) throw new CLumException(ERROR_INVALID_PARAMETER, kChannelModule, kLineNoConnection, L"");
        m_connection = connection;
        m_closing = 0;
        m_notStarted = 1;
        m_receivedEvent.reset(NewEvent());
        if (!m_receivedEvent.is_valid()) throw new CLumException(kChannelModule, kLineReceivedEvent, L"");
        m_stopEvent.reset(NewEvent());
        if (!m_stopEvent.is_valid()) throw new CLumException(kChannelModule, kLineStopEvent, L"");
        m_disconnectedEvent.reset(NewEvent());
        if (!m_disconnectedEvent.is_valid()) throw new CLumException(kChannelModule, kLineDisconnectedEvent, L"");
        m_receiveLock.reset(NewMutex());
        if (!m_receiveLock.is_valid()) throw new CLumException(kChannelModule, kLineReceiveLock, L"");
        m_sendLock.reset(NewMutex());
        if (!m_sendLock.is_valid()) throw new CLumException(kChannelModule, kLineSendLock, L"");
        try {
            m_receiveQueue = new CBuffersList();
        } catch (const std::bad_alloc&) {
            DWORD err = ::GetLastError();
            throw new CLumException(err ? err : ERROR_NOT_ENOUGH_MEMORY, kChannelModule, kLineReceiveQueue, L"");
        }
    } catch (...) {
        m_connection = nullptr;  // never ours: the caller still holds it
        std::free(m_receiveBuffer);
        m_receiveBuffer = nullptr;
        m_receiveBufferSize = 0;
        throw;
    }
}

CChannel::~CChannel() {
    // A derived class has called Shutdown: both channel threads have ended.
    if (m_receiveQueue) {
        {
            lumlib::__auto_locker queueLock(m_receiveQueue->GetLock());
            queueLock.Lock();
            m_receiveQueue->FreeChain();
            m_receiveQueue->SetPartialOffset(0);
        }
        delete m_receiveQueue;
        m_receiveQueue = nullptr;
    }
    // End the transfer worker before the members Process uses go away;
    // frames not yet written are dropped.
    StopWorker();
    std::free(m_receiveBuffer);
    m_receiveBuffer = nullptr;
    m_receiveBufferSize = 0;
    DestroyResources();
}

void CChannel::DestroyResources() {
    m_receiveThread.reset();
    m_dispatchThread.reset();
    m_sendLock.reset();
    m_disconnectedEvent.reset();
    m_stopEvent.reset();
    m_receivedEvent.reset();
    m_receiveLock.reset();
}

void CChannel::StartThreads() {
    if (!m_notStarted) return;
    m_dispatchThread.reset(reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, DispatchThread, this, 0, nullptr)));
    if (!m_dispatchThread.is_valid()) {
        DWORD err = ::GetLastError();
        ::SetEvent(m_stopEvent.get());
        throw new CLumException(err, kChannelModule, kLineDispatchThread, L"");
    }
    // Suspended until its handle is stored: DispatchThread waits on that handle
    // once the connection is lost, which may happen at once.
    m_receiveThread.reset(
        reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, ReceiveThread, this, CREATE_SUSPENDED, nullptr)));
    if (!m_receiveThread.is_valid()) {
        DWORD err = ::GetLastError();
        ::SetEvent(m_stopEvent.get());
        ::WaitForSingleObject(m_dispatchThread.get(), INFINITE);
        throw new CLumException(err, kChannelModule, kLineReceiveThread, L"");
    }
    ::ResumeThread(m_receiveThread.get());
    m_notStarted = 0;
}

// ---- Sending ---------------------------------------------------------------

void CChannel::SendData(const void* data, uint32_t size) {
    if (IsSignalled(m_disconnectedEvent.get())) throw new CLumException(ERROR_CONNECTION_ABORTED, kChannelModule, kLineLost, L"");
    if (!data && size) throw new CLumException(ERROR_INVALID_PARAMETER, kChannelModule, kLineNoData, L"");
    Push(data, size);
    ::Sleep(0);
}

uint32_t CChannel::Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) {
    CRegion sendLock(m_sendLock.get());
    if (!m_connection) return 0;  // released: the message is dropped
    const uint32_t length = static_cast<uint32_t>(size);
    const uint8_t header[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
    try {
        const uint8_t* parts[2] = {header, data};
        const uint32_t sizes[2] = {4, length};
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
    } catch (CLumException* e) {
        // The rest of the frame is lost; the channel is done for.
        ::SetEvent(m_disconnectedEvent.get());
        delete e;
        return 0;
    }
    return 1;
}

// ---- Receiving -------------------------------------------------------------

unsigned __stdcall CChannel::ReceiveThread(void* self) {
    CChannel* channel = static_cast<CChannel*>(self);
    // The connection stays attached while this thread runs: it is detached
    // only after this thread has ended.
    CConnection* connection = channel->m_connection;
    try {
        for (;;) {
            if (IsSignalled(channel->m_disconnectedEvent.get()) || !connection) return 0;
            uint32_t length = 0;
            if (!connection->ReadAll(&length, sizeof(length))) break;
            if (length == 0) continue;  // an empty frame carries nothing
            if (channel->m_receiveBufferSize < length) {
                void* grown = std::realloc(channel->m_receiveBuffer, length);
                if (!grown) break;
                channel->m_receiveBuffer = static_cast<uint8_t*>(grown);
                channel->m_receiveBufferSize = length;
            }
            if (!connection->ReadAll(channel->m_receiveBuffer, length)) break;
            {
                CRegion receiveLock(channel->m_receiveLock.get());
                channel->m_receiveQueue->Write(length, channel->m_receiveBuffer);
                ::SetEvent(channel->m_receivedEvent.get());
            }
            ::Sleep(0);
        }
    } catch (CLumException* e) {
        delete e;
    } catch (const std::bad_alloc&) {
        // the queue could not take the message: as good as a broken connection
    }
    ::SetEvent(channel->m_disconnectedEvent.get());
    return 0;
}

unsigned __stdcall CChannel::DispatchThread(void* self) {
    CChannel* channel = static_cast<CChannel*>(self);
    if (IsSignalled(channel->m_stopEvent.get())) {
        if (channel->m_connection) channel->m_connection->Cancel();
        return 0;
    }
    for (;;) {
        if (IsSignalled(channel->m_disconnectedEvent.get())) {
            CRegion receiveLock(channel->m_receiveLock.get());
            if (!IsSignalled(channel->m_receivedEvent.get())) {
                // Everything received before the loss has been announced.
                while (!channel->m_closing) {
                    if (channel->OnDisconnected()) break;
                    HANDLE waits[2] = {channel->m_stopEvent.get(), channel->m_receivedEvent.get()};
                    DWORD w = ::WaitForMultipleObjects(2, waits, FALSE, kDispatchPollMs);
                    if (w == WAIT_OBJECT_0) break;
                    // A late message keeps the received event set: keep the
                    // 100 ms pace instead of spinning.
                    if (w == WAIT_OBJECT_0 + 1 &&
                        ::WaitForSingleObject(channel->m_stopEvent.get(), kDispatchPollMs) == WAIT_OBJECT_0) {
                        break;
                    }
                }
                receiveLock.Unlock();
                break;
            }
            // Messages that arrived before the loss are still announced.
        } else if (IsSignalled(channel->m_stopEvent.get())) {
            break;
        }

        if (::WaitForSingleObject(channel->m_receivedEvent.get(), kDispatchPollMs) == WAIT_OBJECT_0) {
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
        if (IsSignalled(channel->m_stopEvent.get())) break;
    }

    // Ends a read still pending in ReceiveThread.
    if (channel->m_connection) channel->m_connection->Cancel();
    if (!IsSignalled(channel->m_disconnectedEvent.get())) return 0;

    // The connection is lost: release it once nobody reads from it any more.
    if (channel->m_receiveThread.is_valid()) ::WaitForSingleObject(channel->m_receiveThread.get(), INFINITE);
    CConnection* connection;
    {
        CRegion sendLock(channel->m_sendLock.get());
        connection = channel->m_connection;
        channel->m_connection = nullptr;
    }
    if (connection) connection->Release();
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

uint32_t CChannel::Receive(uint8_t** destination, uint32_t* size) {
    CRegion receiveLock(m_receiveLock.get());
    if (!destination || !*destination || !size || m_receiveQueue->IsEmpty()) return 0;
    uint64_t length = 0;
    const uint8_t* message = m_receiveQueue->Read(&length, 1);
    if (!message) return 0;
    // A message begun by ReadData is gone now; the next one starts afresh.
    m_receiveQueue->SetPartialOffset(0);
    std::memcpy(*destination, message, static_cast<size_t>(length));
    *size = static_cast<uint32_t>(length);
    if (m_receiveQueue->IsEmpty()) ::ResetEvent(m_receivedEvent.get());
    return 1;
}

uint32_t CChannel::ReceiveAlloc(uint8_t** destination, uint32_t* size) {
    CRegion receiveLock(m_receiveLock.get());
    if (!destination || !size || m_receiveQueue->IsEmpty()) return 0;
    // Peek first: the message leaves the queue only once its copy exists.
    uint64_t length = 0;
    const uint8_t* message = m_receiveQueue->Read(&length, 0);
    if (!message) return 0;
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(length ? static_cast<size_t>(length) : 1));
    if (!copy) return 0;
    std::memcpy(copy, message, static_cast<size_t>(length));
    m_receiveQueue->Read(nullptr, 1);
    m_receiveQueue->SetPartialOffset(0);
    *destination = copy;
    *size = static_cast<uint32_t>(length);
    if (m_receiveQueue->IsEmpty()) ::ResetEvent(m_receivedEvent.get());
    return 1;
}

// ---- Ending ----------------------------------------------------------------

void CChannel::Disconnect() {
    {
        CRegion sendLock(m_sendLock.get());
        if (m_connection) {
            m_closing = 1;
            m_connection->Cancel();
        }
    }
    ::ResetEvent(m_receivedEvent.get());
}

uint32_t CChannel::RequestStop() {
    ::SetEvent(m_stopEvent.get());
    if (!m_receiveThread.is_valid() || !m_dispatchThread.is_valid()) return 1;
    if (::WaitForSingleObject(m_receiveThread.get(), 0) == WAIT_TIMEOUT) return 0;
    if (::WaitForSingleObject(m_dispatchThread.get(), 0) == WAIT_TIMEOUT) return 0;
    return 1;
}

void CChannel::Shutdown() {
    ::SetEvent(m_stopEvent.get());
    // DispatchThread ends within a poll and cancels the connection, which
    // ends the read that ReceiveThread may be waiting in.
    if (m_receiveThread.is_valid()) ::WaitForSingleObject(m_receiveThread.get(), INFINITE);
    if (m_dispatchThread.is_valid()) ::WaitForSingleObject(m_dispatchThread.get(), INFINITE);
    {
        CRegion receiveLock(m_receiveLock.get());
        if (m_receiveQueue) {
            lumlib::__auto_locker queueLock(m_receiveQueue->GetLock());
            queueLock.Lock();
            m_receiveQueue->FreeChain();
            m_receiveQueue->SetPartialOffset(0);
        }
    }
    CRegion sendLock(m_sendLock.get());
    if (m_connection) {
        CConnection* connection = m_connection;
        m_connection = nullptr;
        connection->Release();
    }
    m_notStarted = 1;
}

// ---- CSinglePipeChannel ----------------------------------------------------

CSinglePipeChannel::CSinglePipeChannel(CConnection* connection, CSinglePipeClient* owner)
    : CChannel(connection), m_owner(owner) {
    // If this raises, the channel part is destroyed (its threads have ended)
    // and the connection stays with the caller.
    StartThreads();
}

CSinglePipeChannel::~CSinglePipeChannel() { Shutdown(); }

void CSinglePipeChannel::OnDataReceived(uint32_t size) {
    if (m_owner) m_owner->OnDataAvailable(size);
}

uint32_t CSinglePipeChannel::OnDisconnected() {
    if (m_owner) m_owner->OnConnectionLost();
    return 1;
}
