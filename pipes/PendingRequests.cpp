#include "pipes/PendingRequests.h"


#include "pipes/MessagePrefix.h"
#include "pipes/SinglePipeClient.h"

namespace {

const DWORD kRetryBudgetMs = 3000;  // the service may be restarting
const DWORD kRetryPauseMs = 200;

// Numbers the request, adds its entry and sends it; the entry goes again when the send fails.
uint32_t AddAndSend(CSinglePipeClient& connection, CPendingRequests& pending, uint8_t* request, IReplySink& sink,
                    uint32_t* requestId) {
    uint32_t result = pending.Add(request, &sink, requestId);
    if (result != 0) return result;
    // The pending lock is never held while sending.
    result = connection.Send(request, MsgPrefixSize(request));
    if (result != 0) pending.Remove(*requestId);
    return result;
}

}  // namespace

uint32_t CPendingRequests::Add(uint8_t* request, IReplySink* sink, uint32_t* requestId) {
    // Atomic, so concurrent callers get distinct numbers; 0 marks notifications
    // and is skipped when the counter wraps.
    uint32_t id;
    do {
        id = ++m_lastRequestId;
    } while (id == 0);
    MsgSetRequestId(request, id);
    const auto lock = m_lock.lock();
    const uint32_t result = lumlib::CatchReturn([&] { m_pending.emplace_back(); });
    if (result != 0) return result;
    m_pending.back().requestId = id;
    m_pending.back().sink = sink;
    *requestId = id;
    return 0;
}

void CPendingRequests::Remove(uint32_t requestId) {
    const auto lock = m_lock.lock();
    m_pending.remove_if([requestId](const Entry& e) { return e.requestId == requestId; });
}

std::list<CPendingRequests::Entry>::iterator CPendingRequests::Find(uint32_t requestId) {
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it)
        if (it->requestId == requestId) return it;
    return m_pending.end();
}

uint32_t CPendingRequests::Await(uint32_t requestId) {
    const ULONGLONG deadline = ::GetTickCount64() + kReplyWaitMs;
    const auto lock = m_lock.lock();
    for (;;) {
        auto it = Find(requestId);
        if (it == m_pending.end()) return ERROR_NOT_FOUND;
        // A reply that made it in is handed over even when the client is stopping.
        if (!it->answered) {
            if (m_stopped) {
                m_pending.erase(it);  // a late reply then finds no entry and is dropped
                return ERROR_TIMEOUT;
            }
            const ULONGLONG now = ::GetTickCount64();
            if (now < deadline) {
                // On this request's own slot: only its reply or a stop wakes it.
                m_lock.wait(it->woken, static_cast<DWORD>(deadline - now));
                continue;
            }
        }
        // Timed out, or no usable reply: 1168. Unlinked under the lock, so a
        // reply that comes now finds no entry and never reaches the sink.
        const bool taken = it->taken;
        m_pending.erase(it);
        return taken ? 0 : ERROR_NOT_FOUND;
    }
}

void CPendingRequests::Answer(const uint8_t* message, uint32_t received) {
    const uint32_t size = MsgPrefixSize(message);
    // A length field that claims more than arrived (or less than the prefix)
    // makes the reply unusable: nothing is copied past the received bytes.
    const bool whole = size >= kMsgPrefixSize && size <= received;
    const auto lock = m_lock.lock();
    auto it = Find(MsgPrefixRequestId(message));
    if (it == m_pending.end()) return;
    // Straight from the reader's buffer to where the caller reads it, under
    // the lock: its caller still waits and cannot unlink the entry meanwhile.
    // Without a usable reply the waiter wakes at once and reports 1168.
    if (!it->taken && whole) {
        it->sink->Take(message, size);
        it->taken = true;
    }
    it->answered = true;
    // Only its own caller; under the lock, as the slot goes with the entry.
    ::WakeConditionVariable(&it->woken);
}

void CPendingRequests::Stop() {
    const auto lock = m_lock.lock();
    m_stopped = true;
    // Under the lock: an entry's slot lives only as long as its entry.
    for (Entry& entry : m_pending) ::WakeConditionVariable(&entry.woken);
}

uint32_t SendRequest(CSinglePipeClient& connection, CPendingRequests& pending, uint8_t* request, IReplySink& sink) {
    if (request == nullptr || MsgPrefixSize(request) < kMsgPrefixSize) return ERROR_INVALID_PARAMETER;

    // A deadline, not a count of pauses: time spent in a send counts too. A
    // stop ends the wait at once.
    const ULONGLONG deadline = ::GetTickCount64() + kRetryBudgetMs;
    uint32_t requestId = 0;
    uint32_t result = AddAndSend(connection, pending, request, sink, &requestId);
    for (ULONGLONG now = ::GetTickCount64(); result == ERROR_NOT_CONNECTED && now < deadline; now = ::GetTickCount64()) {
        if (connection.IsStopped()) return ERROR_TIMEOUT;
        const DWORD pause = static_cast<DWORD>(deadline - now < kRetryPauseMs ? deadline - now : kRetryPauseMs);
        if (connection.StopEvent() != nullptr) {
            if (::WaitForSingleObject(connection.StopEvent(), pause) == WAIT_OBJECT_0) return ERROR_TIMEOUT;
        } else {
            ::Sleep(pause);
        }
        result = AddAndSend(connection, pending, request, sink, &requestId);
    }
    if (result != 0) return result;  // the entry was already removed

    return pending.Await(requestId);
}
