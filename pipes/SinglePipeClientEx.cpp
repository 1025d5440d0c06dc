#include "pipes/SinglePipeClientEx.h"

#include <utility>

#include "pipes/MessagePrefix.h"

std::atomic<int32_t> CSinglePipeClientEx::s_failedAttempts{0};

namespace {

// A batch's notes are kept for the next one up to this many (they are 16 bytes each).
const size_t kStagedKept = 4096;

const DWORD kRetryBudgetMs = 3000;  // the service may be restarting
const DWORD kRetryPauseMs = 200;
const DWORD kReplyWaitMs = 3000;

}  // namespace

CSinglePipeClientEx::CSinglePipeClientEx(std::unique_ptr<CPipeSecurity> sa)
    : CSinglePipeClient(std::move(sa)),
      m_noticeThreshold(-1) {
    SetQueueCap(kNotificationQueueCap);
}

CSinglePipeClientEx::~CSinglePipeClientEx() {
    // Owners stop the client first; one that was not stopped still has threads
    // calling into this object.
    if (KeeperStarted()) Stop();
    StopTransfer(1);  // queued notifications are dropped; Process is ours
    const auto lock = m_pendingLock.lock();
    m_pending.clear();  // frees the replies
}

uint32_t CSinglePipeClientEx::Start() {
    if (IsPendingReady() || IsStopped()) return 0;

    uint32_t result = 0;
    m_pendingReady = true;
    if (!KeeperStarted()) {
        // The base part may have been started on its own already.
        result = StartKeeper();
    }
    // The first attempt's result goes to the status only; a 5 here means the
    // client's own objects could not be created, so nothing is left running.
    if (result == ERROR_ACCESS_DENIED) Stop();
    return result;
}

uint32_t CSinglePipeClientEx::Connect() {
    if (!IsStarted()) return ERROR_NOT_CONNECTED;  // not started

    uint32_t result = CSinglePipeClient::Connect();
    if (result == 0) {
        s_failedAttempts = -1;
        return 0;
    }
    if (s_failedAttempts < 0) return result;
    if (++s_failedAttempts < m_noticeThreshold) return result;

    // Tell the notification handler, once per process, that the service
    // could not be reached.
    uint8_t notice[kMsgNotConnectedNoticeSize];
    MsgBuildNotConnectedNotice(notice, sizeof(notice));
    DispatchIncoming(notice, sizeof(notice));
    s_failedAttempts = -1;
    return result;
}

void CSinglePipeClientEx::CountLoss() {
    const auto lock = m_pendingLock.lock();
    ++m_losses;
    // Under the lock: an entry's slot lives only as long as its entry.
    for (PendingRequest& entry : m_pending) ::WakeConditionVariable(&entry.woken);
}

void CSinglePipeClientEx::OnConnectionLost() { CountLoss(); }

void CSinglePipeClientEx::Interrupt() {
    MarkStopped();  // the keeper and the retries see the stop event
    CountLoss();    // wakes the waiters, which see the stop
}

void CSinglePipeClientEx::Stop() {
    // Every waiting request returns 1460 at once.
    Interrupt();
    CSinglePipeClient::Stop();
    ReportDrops(true);  // nothing is dropped any more: the last ones are told now
}

uint32_t CSinglePipeClientEx::Process(const uint8_t* data, uint64_t size, uint32_t /*queueEmpty*/) {
    if (data != nullptr && size != 0) OnNotification(data, static_cast<uint32_t>(size));
    // Drops that stopped within a second of the last report are told here.
    ReportDrops(false);
    return 1;
}

void CSinglePipeClientEx::ReportDrops(bool now) {
    if (m_unreportedDrops.load() == 0) return;
    ULONGLONG last = m_lastDropReport.load();
    const ULONGLONG tick = ::GetTickCount64();
    if (!now && tick - last < kDropReportMs) return;
    // One thread reports; another that saw the same time leaves it.
    if (!m_lastDropReport.compare_exchange_strong(last, tick)) return;
    const uint32_t count = m_unreportedDrops.exchange(0);
    const uint64_t bytes = m_unreportedDropBytes.exchange(0);
    if (count != 0) OnNotificationsDropped(count, bytes, m_droppedNotifications.load());
}

uint32_t CSinglePipeClientEx::SendRequest(uint8_t* request, lumlib::CByteBlock& reply) {
    reply.reset();
    if (request == nullptr) return ERROR_INVALID_PARAMETER;
    if (MsgPrefixSize(request) < kMsgPrefixSize) return ERROR_INVALID_PARAMETER;

    // No connection: try again every 200 ms, each time under a new request
    // number, until 3 s after the call began. A deadline, not a count of
    // pauses: time spent in a send counts too. A stop ends the wait at once.
    const ULONGLONG deadline = ::GetTickCount64() + kRetryBudgetMs;
    uint32_t requestId = 0;
    uint32_t result = RegisterAndSend(request, &requestId);
    for (ULONGLONG now = ::GetTickCount64(); result == ERROR_NOT_CONNECTED && now < deadline; now = ::GetTickCount64()) {
        if (IsStopped()) return ERROR_TIMEOUT;
        const DWORD pause = static_cast<DWORD>(deadline - now < kRetryPauseMs ? deadline - now : kRetryPauseMs);
        if (StopEvent() != nullptr) {
            if (::WaitForSingleObject(StopEvent(), pause) == WAIT_OBJECT_0) return ERROR_TIMEOUT;
        } else {
            ::Sleep(pause);
        }
        result = RegisterAndSend(request, &requestId);
    }
    if (result != 0) return result;  // the entry was already removed

    result = AwaitReply(requestId, reply);
    if (result != 0) return result;
    return reply.empty() ? ERROR_NOT_FOUND : 0;  // timed out, or no usable reply
}

uint32_t CSinglePipeClientEx::AwaitReply(uint32_t requestId, lumlib::CByteBlock& reply) {
    const ULONGLONG deadline = ::GetTickCount64() + kReplyWaitMs;
    const auto lock = m_pendingLock.lock();
    for (;;) {
        auto it = FindPending(requestId);
        if (it == m_pending.end()) return 0;  // reply stays empty
        // A reply that made it in is handed over even when the connection has
        // just gone or the client is stopping.
        if (!it->answered) {
            // Stopped, or the connection it went out on is gone (a loss counted since it was sent).
            if (IsStopped() || m_losses != it->losses) {
                m_pending.erase(it);  // a late reply then finds no entry and is dropped
                return ERROR_TIMEOUT;
            }
            const ULONGLONG now = ::GetTickCount64();
            if (now < deadline) {
                // On this request's own slot: only its reply, a loss or a stop
                // wakes it. Held once here (callers never hold it), as sleeping requires.
                m_pendingLock.wait(it->woken, static_cast<DWORD>(deadline - now));
                continue;
            }
        }
        reply = std::move(it->reply);  // empty when the wait timed out
        m_pending.erase(it);
        return 0;
    }
}

std::list<CSinglePipeClientEx::PendingRequest>::iterator CSinglePipeClientEx::FindPending(uint32_t requestId) {
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it)
        if (it->requestId == requestId) return it;
    return m_pending.end();
}

uint32_t CSinglePipeClientEx::RegisterAndSend(uint8_t* request, uint32_t* requestIdOut) {
    uint32_t result = Start();
    if (result != 0) return result;
    if (!IsPendingReady()) return ERROR_NOT_CONNECTED;  // stopped before it was started

    // Atomic, so concurrent callers get distinct numbers; 0 marks notifications
    // and is skipped when the counter wraps.
    uint32_t requestId;
    do {
        requestId = ++m_lastRequestId;
    } while (requestId == 0);
    MsgSetRequestId(request, requestId);

    {
        const auto lock = m_pendingLock.lock();
        result = lumlib::CatchReturn([&] { m_pending.emplace_back(); });
        if (result != 0) return result;
        PendingRequest& entry = m_pending.back();
        entry.requestId = requestId;
        entry.losses = m_losses;
    }  // never held while sending

    result = CSinglePipeClient::Send(request, MsgPrefixSize(request));
    if (result == 0) {
        *requestIdOut = requestId;
        return 0;
    }
    RemovePending(requestId);
    return result;
}

void CSinglePipeClientEx::RemovePending(uint32_t requestId) {
    const auto lock = m_pendingLock.lock();
    m_pending.remove_if([requestId](const PendingRequest& e) { return e.requestId == requestId; });
}

void CSinglePipeClientEx::OnMessage(const uint8_t* data, uint32_t size) {
    m_stagingThread.store(::GetCurrentThreadId());
    if (size >= kMsgPrefixSize && DispatchIncoming(data, size) == 0) return;
    // Too short to carry a request number: the stream cannot be trusted any
    // more, so start over with a new connection.
    Disconnect();
}

void CSinglePipeClientEx::OnMessagesEnd() { FlushStaged(); }

bool CSinglePipeClientEx::StageNotification(const uint8_t* message, uint32_t size, BlockKind kind) {
    if (m_stagingThread.load() != ::GetCurrentThreadId()) return false;
    return lumlib::CatchReturn([&] { m_staged.push_back(CTransferBuffer::Block{message, size, kind}); }) == ERROR_SUCCESS;
}

void CSinglePipeClientEx::FlushStaged() {
    if (m_stagingThread.load() != ::GetCurrentThreadId()) return;
    const CTransferBuffer::Refused refused = PushBatch(m_staged.data(), m_staged.size());
    m_staged.clear();
    if (m_staged.capacity() > kStagedKept) m_staged.shrink_to_fit();  // after a burst
    m_stagingThread.store(0);
    if (refused.count != 0) CountDrops(refused.count, refused.bytes);
}

void CSinglePipeClientEx::CountDrops(uint32_t count, uint64_t bytes) {
    m_droppedNotifications += count;
    m_unreportedDropBytes += bytes;
    m_unreportedDrops += count;
    ReportDrops(false);
}

uint32_t CSinglePipeClientEx::DispatchIncoming(const uint8_t* message, uint32_t received) {
    uint32_t result = Start();
    if (result != 0) return result;
    if (!IsPendingReady()) return ERROR_NOT_CONNECTED;
    if (message == nullptr || received < kMsgPrefixSize) return ERROR_INVALID_DATA;

    const uint32_t size = MsgPrefixSize(message);
    const uint32_t requestId = MsgPrefixRequestId(message);
    // A length field that claims more than arrived (or less than the prefix)
    // makes the message unusable: nothing is copied past the received bytes.
    const bool whole = size >= kMsgPrefixSize && size <= received;

    if (requestId == 0) {
        if (!whole) return 0;
        // The reader's batch is queued at its end. A slow OnNotification
        // must not make the queue grow without bound: past its cap the push
        // is refused, and the drop costs a count, never a wait (replies and
        // the loss come behind it on this thread).
        const BlockKind kind = NotificationKind(message, size);
        if (!StageNotification(message, size, kind) && !PushBlock(message, size, false, kind)) CountDrops(1, size);
        return 0;  // delivered later on TransferThread
    }

    const auto lock = m_pendingLock.lock();
    auto it = FindPending(requestId);
    // A reply nobody waits for any more is dropped.
    if (it == m_pending.end()) return 0;
    // A duplicate reply keeps the first one. Without a usable copy the
    // waiter wakes at once and reports 1168.
    if (it->reply.empty() && whole) it->reply.Assign(message, size);
    it->answered = true;
    // Only its own caller; under the lock, as the slot goes with the entry.
    ::WakeConditionVariable(&it->woken);
    return 0;
}
