#include "pipes/PendingRequests.h"

#include "pipes/MessagePrefix.h"
#include "pipes/SinglePipeClient.h"

namespace {

const DWORD kRetryBudgetMs = 3000;  // the service may be restarting
const DWORD kRetryPauseMs = 200;

// A request under its number: written where it goes, the number into its prefix.
class CNumbered final : public IMessageSource {
public:
    CNumbered(const IMessageSource& request, uint32_t number) : m_request(request), m_number(number) {}
    void WriteTo(uint8_t* out, uint32_t size, uint32_t zeroed) const override {
        m_request.WriteTo(out, size, zeroed);
        MsgSetRequestId(out, m_number);
    }
    // Its zeros end before the prefix, which now carries the number.
    uint32_t ZeroTail(uint32_t size) const override {
        const uint32_t tail = m_request.ZeroTail(size);
        return tail < size - kMsgPrefixSize ? tail : size - kMsgPrefixSize;
    }

private:
    const IMessageSource& m_request;
    const uint32_t m_number;
};

// Numbers the request, links its entry and sends it; the entry goes again when the send fails.
uint32_t AddAndSend(CSinglePipeClient& connection, CPendingRequests& pending, const IMessageSource& request,
                    uint32_t size, CPendingRequests::Entry& entry, IReplySink& sink) {
    const CNumbered numbered(request, pending.Add(entry, sink));
    // The pending lock is never held while sending.
    const uint32_t result = connection.Send(numbered, size);
    if (result != 0) pending.Remove(entry);
    return result;
}

// A caller reading for its own reply: reached once the entry is settled.
class CReplyGoal final : public IReadGoal {
public:
    CReplyGoal(CPendingRequests& pending, const CPendingRequests::Entry& entry) : m_pending(pending), m_entry(entry) {}
    bool Reached() override { return m_pending.IsSettled(m_entry); }

private:
    CPendingRequests& m_pending;
    const CPendingRequests::Entry& m_entry;
};

}  // namespace

uint32_t CPendingRequests::Add(Entry& entry, IReplySink& sink) {
    // Atomic, so concurrent callers get distinct numbers; 0 marks notifications
    // and is skipped when the counter wraps.
    uint32_t id;
    do {
        id = ++m_lastRequestId;
    } while (id == 0);
    const auto lock = m_lock.lock();
    entry.m_owner = this;
    entry.m_requestId = id;
    entry.m_answered = false;
    entry.m_taken = false;
    entry.m_leftToReader = false;
    entry.m_sink = &sink;
    entry.m_prev = nullptr;
    entry.m_next = m_first;
    if (m_first != nullptr) m_first->m_prev = &entry;
    m_first = &entry;
    entry.m_linked = true;
    return id;
}

void CPendingRequests::Remove(Entry& entry) {
    const auto lock = m_lock.lock();
    Unlink(entry);
}

void CPendingRequests::Unlink(Entry& entry) {
    if (!entry.m_linked) return;
    if (entry.m_leftToReader && !entry.m_answered) --m_leftToReader;
    if (entry.m_prev != nullptr) entry.m_prev->m_next = entry.m_next;
    else m_first = entry.m_next;
    if (entry.m_next != nullptr) entry.m_next->m_prev = entry.m_prev;
    entry.m_linked = false;
}

CPendingRequests::Entry* CPendingRequests::Find(uint32_t requestId) {
    for (Entry* entry = m_first; entry != nullptr; entry = entry->m_next)
        if (entry->m_requestId == requestId) return entry;
    return nullptr;
}

bool CPendingRequests::IsSettled(const Entry& entry) const {
    // m_linked changes only on the caller's own thread, which asks this.
    return !entry.m_linked || entry.m_answered.load() || m_stopped.load();
}

bool CPendingRequests::LeaveToReader(Entry& entry) {
    if (IsSettled(entry)) return false;  // a caller that read its reply takes no lock
    const auto lock = m_lock.lock();
    if (!entry.m_linked || entry.m_answered || entry.m_leftToReader || m_stopped) return false;
    entry.m_leftToReader = true;
    ++m_leftToReader;
    return true;
}

bool CPendingRequests::AnyLeftToReader() const { return m_leftToReader.load() != 0; }

uint32_t CPendingRequests::Await(Entry& entry, ULONGLONG deadline) {
    const auto lock = m_lock.lock();
    // A reply that made it in is handed over even when the client is stopping.
    while (!entry.m_answered) {
        if (m_stopped) {
            Unlink(entry);  // a late reply then finds no entry and is dropped
            return ERROR_TIMEOUT;
        }
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) break;
        // On this request's own slot: only its reply or a stop wakes it.
        entry.m_sleeping = true;
        m_lock.wait(entry.m_woken, static_cast<DWORD>(deadline - now));
        entry.m_sleeping = false;
    }
    // Timed out, or no usable reply: 1168. Unlinked under the lock, so a
    // reply that comes now finds no entry and never reaches the sink.
    Unlink(entry);
    return entry.m_taken ? 0 : ERROR_NOT_FOUND;
}

void CPendingRequests::Answer(const uint8_t* message, uint32_t received) {
    const uint32_t size = MsgPrefixSize(message);
    // A length field that claims more than arrived (or less than the prefix)
    // makes the reply unusable: nothing is copied past the received bytes.
    const bool whole = size >= kMsgPrefixSize && size <= received;
    const auto lock = m_lock.lock();
    Entry* const entry = Find(MsgPrefixRequestId(message));
    if (entry == nullptr) return;
    // Straight from the reader's buffer to where the caller reads it, under
    // the lock: its caller still waits and cannot unlink the entry meanwhile.
    // Without a usable reply the waiter wakes at once and reports 1168.
    if (!entry->m_taken && whole) {
        entry->m_sink->Take(message, size);
        entry->m_taken = true;
    }
    if (entry->m_leftToReader && !entry->m_answered) --m_leftToReader;
    entry->m_answered = true;
    // Only its own caller, and only when it sleeps (one reading for its own
    // reply is awake); under the lock, as the slot goes with the entry.
    if (entry->m_sleeping) ::WakeConditionVariable(&entry->m_woken);
}

void CPendingRequests::Stop() {
    const auto lock = m_lock.lock();
    m_stopped = true;
    // Under the lock: an entry's slot lives only as long as its entry is linked.
    for (Entry* entry = m_first; entry != nullptr; entry = entry->m_next) ::WakeConditionVariable(&entry->m_woken);
}

uint32_t SendRequest(CSinglePipeClient& connection, CPendingRequests& pending, const IMessageSource& request,
                     uint32_t size, IReplySink& sink) {
    if (size < kMsgPrefixSize) return ERROR_INVALID_PARAMETER;

    CPendingRequests::Entry entry;
    uint32_t result = AddAndSend(connection, pending, request, size, entry, sink);
    // A deadline from the first refusal (which comes at once), not a count of
    // pauses: time spent in a send counts too. A stop ends the wait at once.
    // A request sent at once reads no clock for it.
    const ULONGLONG start = result == ERROR_NOT_CONNECTED ? ::GetTickCount64() : 0;
    const ULONGLONG deadline = start + kRetryBudgetMs;
    for (ULONGLONG now = start; result == ERROR_NOT_CONNECTED && now < deadline; now = ::GetTickCount64()) {
        if (connection.IsStopped()) return ERROR_TIMEOUT;
        // Made from inside the owner's hearing of a connection or its end, on
        // a thread the next connection waits for: no retry can succeed, and
        // waiting would hold the next connection back.
        if (connection.BlocksNextConnection()) return result;
        const DWORD pause = static_cast<DWORD>(deadline - now < kRetryPauseMs ? deadline - now : kRetryPauseMs);
        if (connection.StopEvent() != nullptr) {
            if (::WaitForSingleObject(connection.StopEvent(), pause) == WAIT_OBJECT_0) return ERROR_TIMEOUT;
        } else {
            ::Sleep(pause);
        }
        result = AddAndSend(connection, pending, request, size, entry, sink);
    }
    if (result != 0) return result;  // the entry was already removed

    // The reply is read on this thread when nobody else reads the pipe: the
    // reader thread then need not wake to hand it over. Otherwise (or when
    // this thread's reads ended without it) it is left to the reader.
    const ULONGLONG replyDeadline = ::GetTickCount64() + CPendingRequests::kReplyWaitMs;
    CReplyGoal goal(pending, entry);
    connection.ReadForReply(goal, replyDeadline);
    if (pending.LeaveToReader(entry)) connection.LeaveReplyToReader();
    return pending.Await(entry, replyDeadline);
}
