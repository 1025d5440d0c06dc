#include "pipes/SinglePipeClient.h"

#include <cstring>
#include <new>

const wchar_t CSinglePipeClient::kServicePipeName[] = L"3C7A51D0-9E2B-4F86-B1D4-6A0E2F95C3B7";
const wchar_t CSinglePipeClient::kPipeClientModule[] = L"PipeClient";

namespace {

const DWORD kKeeperPeriodMs = 1000;
const uint32_t kLineStopped = 111;        // the client stopped during the attempt

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
    if (m_keeper.IsStarted()) CSinglePipeClient::Stop();
    StopTransfer(1);
}

uint32_t CSinglePipeClient::Start() {
    if (m_keeper.IsStarted() || IsStopped()) return 0;
    return StartKeeper();
}

uint32_t CSinglePipeClient::StartKeeper() {
    ::InterlockedExchange(&m_clientLockReady, 1);

    // Created suspended (with the stop event) so that the first attempt, on
    // the caller's thread, is the only one running.
    const DWORD error = m_keeper.Start(&CSinglePipeClient::KeeperThread, this, true);
    if (error != ERROR_SUCCESS) return error;

    m_status = Connect();
    m_keeper.Resume();
    return 0;
}

unsigned __stdcall CSinglePipeClient::KeeperThread(void* self) {
    CSinglePipeClient* client = static_cast<CSinglePipeClient*>(self);
    for (;;) {
        // Reconnection is a one-second poll, not a notification.
        if (::WaitForSingleObject(client->StopEvent(), kKeeperPeriodMs) != WAIT_TIMEOUT) return 0;
        // A pause asked for after a loss: the rest of it, on the stop event.
        const ULONGLONG now = ::GetTickCount64();
        const ULONGLONG notBefore = static_cast<ULONGLONG>(::InterlockedCompareExchange64(&client->m_noAttemptBefore, 0, 0));
        if (now < notBefore && ::WaitForSingleObject(client->StopEvent(), static_cast<DWORD>(notBefore - now)) != WAIT_TIMEOUT)
            return 0;

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

void CSinglePipeClient::PauseAttempts(DWORD ms) {
    ::InterlockedExchange64(&m_noAttemptBefore, static_cast<LONG64>(::GetTickCount64() + ms));
}

uint32_t CSinglePipeClient::Connect() {
    if (!IsStarted()) return ERROR_NOT_CONNECTED;  // not started

    // The open may wait up to a second for a busy pipe and the server check
    // asks the system about the server: the client lock is taken only to
    // install the channel, so Send and the other operations never wait for them.
    lumlib::__auto_locker attempt(m_attemptLock.get());
    attempt.Lock();
    if (HasChannel()) return 0;

    CPipeConnection* connection = nullptr;
    CSinglePipeChannel* channel = nullptr;
    bool initialised = false;
    lumlib::LumFailure cause;
    const uint32_t error = lumlib::CatchReturn([&] {
        // The stop event ends a wait for a busy pipe, so Stop never waits long.
        std::unique_ptr<CPipeConnection> opened(
            OpenPipe(m_pipeName, m_security ? m_security->attributes() : nullptr, PipeOpenFlags(), StopEvent()));
        // A refused server's pipe was never used, so its owner has nothing to
        // hear: the holder closes it unannounced, and the attempt fails like
        // one that found no pipe.
        if (!AcceptServer(opened->GetPipe()))
            throw new CLumException(ERROR_NOT_CONNECTED, kPipeClientModule, kLineServerRefused, L"");
        lumlib::__auto_locker lock(m_clientLock.get());
        lock.Lock();
        // Stop marks the client first and then takes the channels under this
        // lock: a channel made after the mark would outlive it.
        if (IsStopped()) throw new CLumException(ERROR_CANCELLED, kPipeClientModule, kLineStopped, L"");
        connection = opened.release();
        channel = new CSinglePipeChannel(connection, this);
        m_channel = channel;
        lock.Unlock();
        initialised = OnInitConnection() != 0;
    }, &cause);
    if (error == ERROR_SUCCESS) {
        if (!initialised) {
            DropNewChannel(channel);
            return ERROR_NOT_CONNECTED;  // the failure count is left alone
        }
        m_failureCount = 0;
        return 0;
    }

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
        OnConnectFailed(m_failureCount, cause);
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

void CSinglePipeClient::OnConnectionClosed(CConnection* /*connection*/) {
    lumlib::__auto_locker lock(m_clientLock.get());
    lock.Lock();
    CSinglePipeChannel* channel = m_channel;
    m_channel = nullptr;
    if (channel == nullptr) return;
    channel->RequestStop();
    // This runs on the channel's own dispatch thread, so the channel cannot be
    // deleted here; the keeper deletes it once its threads have ended.
    // Out of memory: the channel can be neither kept nor deleted on its own
    // thread. Leaking it is the only safe outcome.
    lumlib::CatchReturn([&] { m_retired.insert(channel); });
}

uint32_t CSinglePipeClient::Send(const void* data, uint32_t length) {
    if (data == nullptr && length != 0) return ERROR_INVALID_PARAMETER;
    if (!IsStarted()) return ERROR_NOT_CONNECTED;

    lumlib::__auto_locker lock(m_clientLock.get());
    lock.Lock();
    if (m_channel == nullptr) return ERROR_NOT_CONNECTED;
    const uint32_t result = lumlib::CatchReturn([&] { m_channel->SendData(data, length); });
    // A channel that knows its connection is lost is retired in a moment: to
    // the sender it is no connection already, so a request waits for the next
    // one and a one-way call says so.
    return result == ERROR_CONNECTION_ABORTED ? ERROR_NOT_CONNECTED : result;
}

uint32_t CSinglePipeClient::Post(const void* data, uint32_t length) {
    return CSinglePipeClient::Send(data, length);
}

void CSinglePipeClient::Disconnect() {
    if (!IsStarted()) return;
    lumlib::__auto_locker lock(m_clientLock.get());
    lock.Lock();
    // The channel cancels its connection; its dispatch thread releases it,
    // which retires the channel through OnConnectionClosed.
    if (m_channel != nullptr) m_channel->Disconnect();
}

void CSinglePipeClient::Stop() {
    ::InterlockedExchange(&m_stopped, 1);
    // A keeper still suspended (Start failed half-way) is resumed to see the
    // stop event. The client lock is not held here, so an attempt in progress
    // can finish; its wait for a busy pipe ends on the stop event.
    m_keeper.Stop();

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
