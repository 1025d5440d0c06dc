#include "pipes/SinglePipeClient.h"

#include <process.h>

#include <cstdlib>
#include <cstring>
#include <new>

const wchar_t CSinglePipeClient::kServicePipeName[] = L"3C7A51D0-9E2B-4F86-B1D4-6A0E2F95C3B7";

namespace {

const wchar_t kPipeClientModule[] = L"PipeClient";
const uint32_t kLineServerRefused = 110;  // AcceptServer said no

// Some creation calls (e.g. _beginthreadex on bad arguments) fail without a
// last error; a failed step must never be reported as success.
uint32_t LastErrorOr(uint32_t fallback) {
    DWORD error = ::GetLastError();
    return error != 0 ? error : fallback;
}

}  // namespace

CSinglePipeClient::CSinglePipeClient(std::unique_ptr<CPipeSecurity> sa)
    : CPipeClient(),
      CTransferBuffer(),
      m_failureCount(0),
      m_status(ERROR_NOT_CONNECTED),
      m_security(std::move(sa)),
      m_channel(nullptr),
      m_stopped(0) {
    // bounded copy: the name never outgrows its field
    wcsncpy(m_pipeName, kServicePipeName, _countof(m_pipeName) - 1);
    m_pipeName[_countof(m_pipeName) - 1] = L'\0';
}

CSinglePipeClient::~CSinglePipeClient() {
    // Owners stop the client first. One that was not stopped still has a
    // running keeper using this object; stopping here beats a use after free.
    if (m_keeperThread.is_valid()) CSinglePipeClient::Stop();

    m_keeperThread.reset();
    m_retired.clear();  // channels still listed here are not deleted
    m_clientLock.reset();
    m_stopEvent.reset();
}

uint32_t CSinglePipeClient::Start() {
    if (m_keeperThread.is_valid() || IsStopped()) return 0;
    return StartKeeper();
}

uint32_t CSinglePipeClient::StartKeeper() {
    HANDLE stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stopEvent == nullptr) return LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
    m_stopEvent.reset(stopEvent);

    HANDLE lock = ::CreateMutexW(nullptr, FALSE, nullptr);
    if (lock == nullptr) return LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
    m_clientLock.reset(lock);

    // Created suspended so that the first attempt, on the caller's thread, is
    // the only one running.
    ::SetLastError(0);
    uintptr_t thread = _beginthreadex(nullptr, 0, &CSinglePipeClient::KeeperThread, this, CREATE_SUSPENDED, nullptr);
    if (thread == 0) return LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
    m_keeperThread.reset(reinterpret_cast<HANDLE>(thread));

    m_status = Connect();
    ::ResumeThread(m_keeperThread.get());
    return 0;
}

unsigned __stdcall CSinglePipeClient::KeeperThread(void* self) {
    CSinglePipeClient* client = static_cast<CSinglePipeClient*>(self);
    for (;;) {
        // Reconnection is a one-second poll, not a notification.
        if (::WaitForSingleObject(client->m_stopEvent.get(), 1000) != WAIT_TIMEOUT) return 0;

        {
            lumlib::__auto_locker lock(client->m_clientLock.get());
            lock.Lock();
            for (auto it = client->m_retired.begin(); it != client->m_retired.end();) {
                CSinglePipeChannel* channel = *it;
                if (channel->RequestStop()) {
                    delete channel;
                    it = client->m_retired.erase(it);
                } else {
                    ++it;  // threads still running: next sweep
                }
            }
        }

        client->m_status = client->Connect();
    }
}

uint32_t CSinglePipeClient::Connect() {
    if (!m_clientLock.is_valid()) return ERROR_NOT_CONNECTED;  // not started

    lumlib::__auto_locker lock(m_clientLock.get());
    lock.Lock();
    if (m_channel != nullptr) return 0;

    CPipeConnection* connection = nullptr;
    CSinglePipeChannel* channel = nullptr;
    uint32_t error = 0;
    try {
        connection = OpenPipe(m_pipeName, m_security ? m_security->attributes() : nullptr, PipeOpenFlags());
        if (!AcceptServer(connection->GetPipe())) {
            // Never used, so its owner has nothing to hear: close it unannounced
            // and fail like an attempt that found no pipe.
            std::unique_ptr<CPipeConnection> refused(connection);
            connection = nullptr;
            throw new CLumException(ERROR_NOT_CONNECTED, kPipeClientModule, kLineServerRefused, L"");
        }
        channel = new CSinglePipeChannel(connection, this);
        m_channel = channel;
        lock.Unlock();

        if (OnInitConnection() == 0) {
            DropNewChannel(channel);
            return ERROR_NOT_CONNECTED;  // the failure count is left alone
        }
        m_failureCount = 0;
        return 0;
    } catch (CLumException* e) {
        error = e->GetError();
        delete e;
    } catch (const std::bad_alloc&) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    }

    lock.Unlock();
    if (channel != nullptr) {
        // OnInitConnection raised. The channel holds the connection and
        // releases it once when it is deleted; releasing it here as well
        // would free it under the channel's running threads.
        DropNewChannel(channel);
    } else if (connection != nullptr) {
        // The channel could not be built (the failed construction has already
        // cleaned up without touching the connection).
        connection->Release();
    } else {
        m_failureCount = m_failureCount + 1;
        OnConnectFailed(m_failureCount);
    }
    return error == ERROR_ACCESS_DENIED ? ERROR_ACCESS_DENIED : ERROR_NOT_CONNECTED;
}

void CSinglePipeClient::DropNewChannel(CSinglePipeChannel* channel) {
    CSinglePipeChannel* detached = nullptr;
    {
        lumlib::__auto_locker lock(m_clientLock.get());
        lock.Lock();
        // If the connection broke meanwhile, OnConnectionClosed has already
        // retired the channel and the keeper's sweep deletes it.
        if (m_channel == channel) {
            detached = channel;
            m_channel = nullptr;
        }
    }
    delete detached;  // releases the connection; nothing is current, so nothing is retired
}

void CSinglePipeClient::OnConnectionClosed(CConnection* connection) {
    lumlib::__auto_locker lock(m_clientLock.get());
    lock.Lock();
    CSinglePipeChannel* channel = m_channel;
    m_channel = nullptr;
    if (channel == nullptr) return;
    channel->RequestStop();
    // This runs on the channel's own dispatch thread, so the channel cannot be
    // deleted here; the keeper deletes it once its threads have ended.
    try {
        m_retired.insert(channel);
    } catch (const std::bad_alloc&) {
        // Out of memory: the channel can be neither kept nor deleted on its own
        // thread. Leaking it is the only safe outcome.
    }
}

uint32_t CSinglePipeClient::Send(const void* data, uint32_t length) {
    if (data == nullptr && length != 0) return ERROR_INVALID_PARAMETER;
    if (!m_clientLock.is_valid()) return ERROR_NOT_CONNECTED;

    lumlib::__auto_locker lock(m_clientLock.get());
    lock.Lock();
    if (m_channel == nullptr) return ERROR_NOT_CONNECTED;
    uint32_t result = 0;
    try {
        m_channel->SendData(data, length);
    } catch (CLumException* e) {
        result = e->GetError();
        delete e;
    } catch (const std::bad_alloc&) {
        result = ERROR_NOT_ENOUGH_MEMORY;
    }
    return result;
}

uint32_t CSinglePipeClient::Post(const void* data, uint32_t length) {
    return CSinglePipeClient::Send(data, length);
}

void CSinglePipeClient::Disconnect() {
    if (!m_clientLock.is_valid()) return;
    lumlib::__auto_locker lock(m_clientLock.get());
    lock.Lock();
    // The channel cancels its connection; its dispatch thread releases it,
    // which retires the channel through OnConnectionClosed.
    if (m_channel != nullptr) m_channel->Disconnect();
}

uint32_t CSinglePipeClient::ReadData(void* destination, uint32_t* size) {
    if (!m_clientLock.is_valid()) return 0;
    lumlib::__auto_locker lock(m_clientLock.get());
    lock.Lock();
    if (m_channel == nullptr) return 0;
    return m_channel->ReadData(destination, size);
}

uint32_t CSinglePipeClient::ReceiveAlloc(uint8_t** buffer, uint32_t* length) {
    return TakeMessage(buffer, length, true);
}

uint32_t CSinglePipeClient::Receive(uint8_t** buffer, uint32_t* length) {
    return TakeMessage(buffer, length, false);
}

uint32_t CSinglePipeClient::TakeMessage(uint8_t** buffer, uint32_t* length, bool allocate) {
    if (buffer == nullptr || length == nullptr) return 0;
    if (!m_clientLock.is_valid()) return 0;

    lumlib::__auto_locker clientLock(m_clientLock.get());
    clientLock.Lock();
    if (m_channel == nullptr) return 0;
    CBuffersList* queue = m_channel->GetReceiveQueue();
    if (queue == nullptr) return 0;

    // Lock order: client, the channel's receive lock, then the queue's own.
    lumlib::__auto_locker receiveLock(m_channel->GetReceiveLock());
    receiveLock.Lock();
    lumlib::__auto_locker queueLock(queue->GetLock());
    queueLock.Lock();
    if (queue->IsEmpty()) return 0;

    // The whole front block, including any part a partial reader already took.
    uint64_t size = queue->GetNextSize() + queue->GetPartialOffset();
    if (size > UINT32_MAX) return 0;  // frames carry 32-bit lengths; cannot happen

    uint8_t* destination = nullptr;
    if (allocate) {
        // Allocate before the message leaves the queue, so a failure loses nothing.
        destination = static_cast<uint8_t*>(malloc(size != 0 ? static_cast<size_t>(size) : 1));
        if (destination == nullptr) {
            *length = static_cast<uint32_t>(size);
            return 0;
        }
    } else {
        uint32_t capacity = *length;
        if (capacity != 0 && size > capacity) {
            *length = static_cast<uint32_t>(size);  // tells the caller how much room it needs
            return 0;
        }
        destination = *buffer;
        if (destination == nullptr && size != 0) return 0;
    }

    uint64_t taken = 0;
    const uint8_t* block = queue->Read(&taken, 1);
    if (block == nullptr) {
        if (allocate) free(destination);
        return 0;
    }
    queue->SetPartialOffset(0);  // the block a partial reader had begun is gone
    if (taken > size) taken = size;  // never copy past the room that was checked
    if (taken != 0) memcpy(destination, block, static_cast<size_t>(taken));
    if (allocate) *buffer = destination;
    *length = static_cast<uint32_t>(taken);
    if (queue->IsEmpty()) ::ResetEvent(m_channel->GetReceivedEvent());
    return 1;
}

void CSinglePipeClient::Stop() {
    ::InterlockedExchange(&m_stopped, 1);
    if (m_stopEvent.is_valid()) ::SetEvent(m_stopEvent.get());

    if (m_keeperThread.is_valid()) {
        // A keeper still suspended (Start failed half-way) must run to see the
        // stop event. The client lock is not held here, so an attempt in
        // progress can finish.
        ::ResumeThread(m_keeperThread.get());
        ::WaitForSingleObject(m_keeperThread.get(), INFINITE);
        m_keeperThread.reset();
    }

    CSinglePipeChannel* current = nullptr;
    {
        lumlib::__auto_locker lock(m_clientLock.get());
        lock.Lock();
        // Retired channels have released their connections and no longer
        // call into the client, so they may be deleted under the lock.
        for (CSinglePipeChannel* channel : m_retired) delete channel;
        m_retired.clear();
        current = m_channel;
        m_channel = nullptr;
    }
    // Outside the lock: its dispatch thread may be waiting for that lock.
    delete current;

    StopTransfer(1);
}

size_t CSinglePipeClient::GetRetiredCount() {
    lumlib::__auto_locker lock(m_clientLock.get());
    lock.Lock();
    return m_retired.size();
}

bool CSinglePipeClient::HasChannel() {
    lumlib::__auto_locker lock(m_clientLock.get());
    lock.Lock();
    return m_channel != nullptr;
}
