#include "pipes/SinglePipeClient.h"

#include <cstring>
#include <new>
#include <utility>

namespace {

const DWORD kKeeperPeriodMs = 1000;
const wchar_t kSinglePipeClientModule[] = L"SinglePipeClient";

// The record of a step of the attempt that failed.
void Describe(lumlib::LumFailure* cause, uint32_t error, lumlib::LumReason reason, uint32_t line) {
    cause->Keep(lumlib::Fail(error, reason, kSinglePipeClientModule, line));
}

uint32_t AttemptResult(uint32_t error) { return error == ERROR_ACCESS_DENIED ? ERROR_ACCESS_DENIED : ERROR_NOT_CONNECTED; }

}  // namespace

CSinglePipeClient::CSinglePipeClient(const wchar_t* pipeName, std::unique_ptr<CPipeSecurity> sa, IPipeClientOwner* owner)
    : m_pipeName(pipeName != nullptr ? pipeName : L""), m_owner(owner), m_security(std::move(sa)) {}

CSinglePipeClient::~CSinglePipeClient() {
    // Owners stop the client first. One that was not stopped still has a
    // running keeper using this object; stopping here beats a use after free.
    if (m_keeper.IsStarted()) Stop();
}

uint32_t CSinglePipeClient::Prepare() {
    if (!m_connectionEnded.is_valid()) m_connectionEnded.reset(lumlib::NewEvent(false));
    if (!m_connectionEnded.is_valid()) return lumlib::LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
    return m_keeper.PrepareStopEvent();
}

uint32_t CSinglePipeClient::Start() {
    if (IsStopped()) return ERROR_CANCELLED;
    if (m_keeper.IsStarted()) return 0;
    if (const uint32_t error = Prepare()) return error;
    m_started = true;

    // Created suspended so that the first attempt, on the caller's thread, is
    // the only one running.
    const DWORD error = m_keeper.Start(&CSinglePipeClient::KeeperThread, this, true);
    if (error != ERROR_SUCCESS) return error;
    // A stop marked meanwhile may have been set before the start reset the event.
    if (IsStopped()) m_keeper.Signal();

    // Whatever the first attempt meets, the keeper runs: the client connects later by itself.
    GuardedAttempt();
    m_keeper.Resume();
    return 0;
}

void CSinglePipeClient::GuardedAttempt() {
    lumlib::CatchReturn([&] { Attempt(); });
}

uint32_t CSinglePipeClient::Attempt() {
    if (!IsStarted()) return ERROR_NOT_CONNECTED;
    // The owner may hold attempts back (a teardown of its own still under way).
    if (!m_owner->MayAttempt() && !HasChannel()) return ERROR_NOT_CONNECTED;
    // Unmarked however the attempt ends (it may raise).
    struct Mark {
        std::atomic<DWORD>& thread;
        ~Mark() { thread.store(0); }
    } mark{m_attemptThread};
    m_attemptThread.store(::GetCurrentThreadId());
    const uint32_t result = Connect();
    m_owner->OnAttemptDone(result);
    return result;
}

unsigned __stdcall CSinglePipeClient::KeeperThread(void* self) {
    CSinglePipeClient* client = static_cast<CSinglePipeClient*>(self);
    while (client->AwaitNextAttempt()) {
        client->SweepRetired();
        client->GuardedAttempt();
    }
    return 0;
}

bool CSinglePipeClient::AwaitNextAttempt() {
    // Connected: nothing to do until the connection ends or the client
    // stops. An older loss's signal is cleared first (only then: no call
    // while the service is away); a loss sets the event after the channel is
    // gone, so one after the reset is seen by the second check or ends the wait.
    if (IsIdleConnected()) {
        ::ResetEvent(m_connectionEnded.get());
        const HANDLE waits[2] = {StopEvent(), m_connectionEnded.get()};
        if (IsIdleConnected() && ::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return false;
    }
    // No connection: one attempt a second.
    if (::WaitForSingleObject(StopEvent(), kKeeperPeriodMs) != WAIT_TIMEOUT) return false;
    // A pause asked for after a loss: the rest of it, on the stop event.
    const ULONGLONG now = ::GetTickCount64();
    const ULONGLONG notBefore = m_noAttemptBefore.load();
    return now >= notBefore || ::WaitForSingleObject(StopEvent(), static_cast<DWORD>(notBefore - now)) == WAIT_TIMEOUT;
}

bool CSinglePipeClient::IsIdleConnected() {
    const auto lock = m_clientLock.lock();
    return m_channel != nullptr && m_retired.empty();
}

void CSinglePipeClient::SweepRetired() {
    std::list<std::unique_ptr<CChannel>> ended;
    {
        const auto lock = m_clientLock.lock();
        for (auto it = m_retired.begin(); it != m_retired.end();) {
            const auto next = std::next(it);
            // Threads still running: the next sweep.
            if ((*it)->RequestStop()) ended.splice(ended.end(), m_retired, it);
            it = next;
        }
    }
    // Deleted outside the lock: their threads have ended, nothing waits for them.
}

void CSinglePipeClient::PauseAttempts(DWORD ms) { m_noAttemptBefore = ::GetTickCount64() + ms; }

void CSinglePipeClient::MarkStopped() {
    m_stopped = true;
    m_keeper.Signal();
}

uint32_t CSinglePipeClient::Connect() {
    // The open may wait up to a second for a busy pipe and the server check
    // asks the system about the server: the client lock is taken only to
    // install the channel, so Send and the other operations never wait for them.
    const auto attempt = m_attemptLock.lock();
    if (HasChannel()) return 0;

    lumlib::LumFailure cause;
    std::unique_ptr<CPipeConnection> opened;
    // The server check and the settings read allocate: without memory the
    // attempt fails like any other and is told.
    const uint32_t raised = lumlib::CatchReturn([&] { opened = OpenChecked(&cause); }, &cause);
    if (raised != ERROR_SUCCESS) opened.reset();
    if (opened) {
        const uint32_t result = InstallChannel(opened, &cause);
        if (opened == nullptr) return result;  // taken by a channel
        opened.reset();  // the client stopped first: never used, closed unannounced
    }
    // Returned, not raised: an absent service costs no exception an attempt.
    ++m_failureCount;
    m_owner->OnConnectFailed(m_failureCount, cause);
    return AttemptResult(cause.error);
}

std::unique_ptr<CPipeConnection> CSinglePipeClient::OpenChecked(lumlib::LumFailure* cause) {
    SECURITY_ATTRIBUTES* const sa = m_security ? m_security->attributes() : nullptr;
    // The stop event ends a wait for a busy pipe, so Stop never waits long.
    const DWORD flags = m_owner->PipeOpenFlags();
    std::unique_ptr<CPipeConnection> opened = TryOpenPipe(this, PipeName(), sa, flags, StopEvent(), cause);
    if (!opened) return nullptr;
    const DWORD confirmed = m_owner->ConfirmOpenFlags();
    if (confirmed != flags) {
        opened.reset();  // nothing was read or written on it
        opened = TryOpenPipe(this, PipeName(), sa, confirmed, StopEvent(), cause);
        if (!opened) return nullptr;
    }
    // A refused server's pipe was never used, so its owner has nothing to
    // hear: it is closed unannounced, and the attempt fails like one that found no pipe.
    if (m_owner->AcceptServer(opened->GetPipe())) return opened;
    Describe(cause, ERROR_NOT_CONNECTED, lumlib::LumReason::kServerRefused, __LINE__);
    return nullptr;
}

uint32_t CSinglePipeClient::InstallChannel(std::unique_ptr<CPipeConnection>& opened, lumlib::LumFailure* cause) {
    // Stop marks the client first and then takes the channels under the
    // client lock: a channel made after the mark would outlive it (looked at
    // again when it is installed).
    if (IsStopped()) {
        Describe(cause, ERROR_CANCELLED, lumlib::LumReason::kStopped, __LINE__);
        return ERROR_NOT_CONNECTED;  // opened is left to the caller
    }
    // The channel owns the connection from here, also when it cannot start.
    // Its reader waits, suspended, until the owner has begun the connection
    // (OnNewConnection), outside the client lock: nothing else can reach a
    // channel that is not current yet.
    std::unique_ptr<CChannel> made;
    uint32_t error = lumlib::CatchReturn([&] {
        made.reset(new CChannel(std::move(opened), m_owner));
        const lumlib::LumError started = made->StartThreads(true);
        if (started.failed()) return cause->Keep(started);
        if (!IsStopped()) m_owner->OnNewConnection();
    }, cause);
    if (error == ERROR_SUCCESS) error = cause->error;
    CChannel* channel = nullptr;
    bool stopped = false;
    if (error == ERROR_SUCCESS) {
        const auto lock = m_clientLock.lock();
        stopped = IsStopped();
        if (stopped) {
            Describe(cause, ERROR_CANCELLED, lumlib::LumReason::kStopped, __LINE__);
        } else {
            m_channel = std::move(made);
            channel = m_channel.get();
            // Under the lock: a Stop that takes the channel next finds its reader running.
            channel->ResumeReader();
        }
    }
    if (error != ERROR_SUCCESS || stopped) {
        // Not made, not started or the client stopped: the connection is
        // released (its owner hears of it; nothing of it was told unless the
        // stop came after OnNewConnection) and the attempt fails with its cause.
        made.reset();
        CConnection::Release(std::move(opened));
        if (stopped) return ERROR_NOT_CONNECTED;
        ++m_failureCount;
        m_owner->OnConnectFailed(m_failureCount, *cause);
        return AttemptResult(error);
    }
    bool initialised = false;
    error = lumlib::CatchReturn([&] { initialised = m_owner->OnInitConnection() != 0; });
    if (error == ERROR_SUCCESS && initialised) {
        m_failureCount = 0;
        return 0;
    }
    // Rejected or raised: the failure count is left alone.
    DropNewChannel(channel);
    return AttemptResult(error);
}

void CSinglePipeClient::DropNewChannel(CChannel* channel) {
    std::unique_ptr<CChannel> detached;
    {
        const auto lock = m_clientLock.lock();
        // If the connection broke meanwhile, OnConnectionClosed has already
        // retired the channel and the keeper's sweep deletes it.
        if (m_channel.get() == channel) detached = std::move(m_channel);
    }
    // The keeper may have seen the channel and gone to sleep.
    if (detached) WakeKeeper();
    // Deleted here, outside the lock: it releases the connection; nothing is
    // current, so nothing is retired.
}

void CSinglePipeClient::OnConnectionClosed() {
    // Told first: the owner's pause is in place before the keeper wakes.
    m_owner->OnConnectionClosed();
    {
        const auto lock = m_clientLock.lock();
        std::unique_ptr<CChannel> channel = std::move(m_channel);
        if (channel == nullptr) return;
        channel->RequestStop();
        // This runs on the channel's own reader thread, so the channel cannot be
        // deleted here; the keeper deletes it once its threads have ended.
        // Out of memory: the channel can be neither kept nor deleted on its own
        // thread. Leaking it is the only safe outcome.
        if (lumlib::CatchReturn([&] { m_retired.push_back(std::move(channel)); }) != ERROR_SUCCESS)
            static_cast<void>(channel.release());
    }
    WakeKeeper();
}

uint32_t CSinglePipeClient::Send(const void* data, uint32_t length) {
    if (data == nullptr && length != 0) return ERROR_INVALID_PARAMETER;
    return Send(CMessageBytes(data), length);
}

uint32_t CSinglePipeClient::Send(const IMessageSource& message, uint32_t length) {
    if (!IsStarted()) return ERROR_NOT_CONNECTED;

    const auto lock = m_clientLock.lock();
    if (m_channel == nullptr) return ERROR_NOT_CONNECTED;
    const lumlib::LumError sent = m_channel->SendData(message, length);
    // A channel that knows its connection is lost is retired in a moment: to
    // the sender it is no connection already, so a request waits for the next
    // one and a one-way call says so.
    return sent.reason == lumlib::LumReason::kLost ? static_cast<uint32_t>(ERROR_NOT_CONNECTED) : sent.error;
}

bool CSinglePipeClient::ReadForReply(IReadGoal& goal, ULONGLONG deadline) {
    if (!IsStarted()) return false;
    CChannel* channel = nullptr;
    {
        const auto lock = m_clientLock.lock();
        if (m_channel == nullptr || !m_channel->TakeCallerTurn()) return false;
        channel = m_channel.get();
    }
    // Outside the client lock: the channel, retired or not, is not released
    // before this turn comes back, and a stop ends the reading at once.
    channel->ReadAsCaller(goal, deadline, StopEvent());
    return true;
}

void CSinglePipeClient::AskReader() {
    const auto lock = m_clientLock.lock();
    if (m_channel != nullptr) m_channel->AskReader();
}

void CSinglePipeClient::LeaveReplyToReader() {
    const auto lock = m_clientLock.lock();
    if (m_channel != nullptr) m_channel->LeaveReplyToReader();
}

bool CSinglePipeClient::CurrentLossCause(lumlib::LumFailure* cause) {
    const auto lock = m_clientLock.lock();
    return m_channel != nullptr && m_channel->LossCause(cause);
}

bool CSinglePipeClient::BlocksNextConnection() {
    if (m_attemptThread.load() == ::GetCurrentThreadId()) return true;
    const auto lock = m_clientLock.lock();
    return m_channel != nullptr && m_channel->IsReaderThread();
}

void CSinglePipeClient::Disconnect() {
    if (!IsStarted()) return;
    const auto lock = m_clientLock.lock();
    // The channel cancels its connection; its reader thread releases it,
    // which retires the channel through OnConnectionClosed.
    if (m_channel != nullptr) m_channel->Disconnect();
}

void CSinglePipeClient::Stop() {
    // A keeper still suspended (Start failed half-way) is resumed to see the
    // stop event. The client lock is not held here, so an attempt in progress
    // can finish; its wait for a busy pipe ends on the stop event.
    MarkStopped();
    m_keeper.Stop();

    std::list<std::unique_ptr<CChannel>> retired;
    std::unique_ptr<CChannel> current;
    {
        const auto lock = m_clientLock.lock();
        // Retired channels have released their connections and no longer
        // call into the client.
        retired.swap(m_retired);
        current = std::move(m_channel);
    }
    // Deleted outside the lock: the current one's reader thread may be waiting for it.
    retired.clear();
    current.reset();
}

bool CSinglePipeClient::HasChannel() {
    const auto lock = m_clientLock.lock();
    return m_channel != nullptr;
}
