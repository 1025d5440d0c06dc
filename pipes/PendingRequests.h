// The pending requests: numbered requests waiting for their replies, matched
// as the replies arrive on the thread reading the pipe. Each caller sleeps on a wait
// slot of its own, so a reply wakes only its caller; a stop wakes them all.
// A reply is read once, from the reader's buffer, by its caller's sink.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "support/lumlib.h"

class CSinglePipeClient;
class IMessageSource;

// Where a waiting caller wants its reply, handed over with the request. Take
// runs on the thread reading the pipe under the pending lock, at most once per request
// and only while its caller still waits for it, with a whole reply (its
// length field's bytes, at least the 12-byte prefix) in the reader's buffer:
// it reads what the caller needs and stores it where the caller reads it
// after the wait. It must not block or call back into the pending requests.
class IReplySink {
public:
    virtual void Take(const uint8_t* reply, uint32_t length) = 0;

protected:
    ~IReplySink() = default;
};

class CPendingRequests {
public:
    static constexpr DWORD kReplyWaitMs = 3000;

    // One request's place among the pending ones: its caller's own (on its
    // stack), linked from Add until its wait ends, so a request allocates nothing.
    class Entry {
    public:
        Entry() = default;
        // Still linked only when its caller's code raised: unlinked before it goes.
        ~Entry() {
            if (m_linked) m_owner->Remove(*this);
        }
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;

    private:
        friend class CPendingRequests;
        CPendingRequests* m_owner = nullptr;
        // The links, under the pending lock; only the caller's own thread links and unlinks.
        Entry* m_prev = nullptr;
        Entry* m_next = nullptr;
        bool m_linked = false;
        uint32_t m_requestId = 0;
        // A reply (usable or not) arrived: set under the pending lock, read
        // without it by the caller between its reads.
        std::atomic<bool> m_answered{false};
        bool m_taken = false;     // the sink took a usable reply
        bool m_sleeping = false;  // its caller sleeps on m_woken (under the pending lock)
        bool m_leftToReader = false;  // its caller did not read it: the reader must
        IReplySink* m_sink = nullptr;  // the caller's, called only while linked
        // Its caller's own wait slot (no kernel object).
        CONDITION_VARIABLE m_woken = CONDITION_VARIABLE_INIT;
    };

    CPendingRequests() = default;
    CPendingRequests(const CPendingRequests&) = delete;
    CPendingRequests& operator=(const CPendingRequests&) = delete;

    // Links the request's entry, unanswered, with its caller's sink: the
    // number its request is to carry (in its prefix).
    uint32_t Add(Entry& entry, IReplySink& sink);
    // Unlinks the entry; its sink is never called after this.
    void Remove(Entry& entry);
    // Waits on the entry's own slot until the reply, a stop or the deadline
    // (GetTickCount64), then unlinks the entry. 0 when the sink took a reply,
    // 1168 when no usable one came in time, 1460 when a stop ended the
    // request before any reply.
    uint32_t Await(Entry& entry, ULONGLONG deadline);
    // On the entry's caller's thread: it has its answer, or will get none
    // (stopped or unlinked).
    bool IsSettled(const Entry& entry) const;
    // On the entry's caller's thread, when it could not read its reply
    // itself: the reader is to read for it from now on. False when the
    // entry needs nobody (answered, unlinked or stopped) or was left already.
    bool LeaveToReader(Entry& entry);
    // A linked entry left to the reader still waits for its answer. Callers
    // that read for themselves are not counted: the reader that took the
    // reads from them each time it saw a request out would wake them instead.
    bool AnyLeftToReader() const;
    // On the thread reading the pipe: a reply (its request number is not 0) of received
    // bytes, given to its caller's sink. Nobody waits for it any more:
    // dropped. A duplicate after a usable one is dropped; one whose length
    // field claims more than arrived wakes its caller without a reply.
    void Answer(const uint8_t* message, uint32_t received);
    // Every waiting request, and every later one, ends with 1460 at once.
    void Stop();

private:
    // Under m_lock.
    Entry* Find(uint32_t requestId);
    void Unlink(Entry& entry);

    lumlib::unique_critical_section m_lock;
    // Under m_lock: the linked entries, each staying put while its caller sleeps on it.
    Entry* m_first = nullptr;
    // Changed under m_lock; read without it where a caller only looks (a lock
    // taken on every read a caller makes is a cost of every request).
    std::atomic<bool> m_stopped{false};
    std::atomic<uint32_t> m_leftToReader{0};  // linked entries left to the reader, without their answer
    std::atomic<uint32_t> m_lastRequestId{0};
};

// Sends a request of size bytes (at least 12: its prefix, whose number is
// written here, in the frame) over the connection and waits up to 3 s for the
// reply, which goes to sink. Without a connection it tries again every 200 ms,
// each time under a new number, until 3 s after the first refusal. 0 once sink
// took the reply (on any other result it was never called); 2250 no
// connection for about 3 s, 1168 no usable reply in time, 1460 stopped while
// waiting, 87 bad arguments, else the send's own error.
uint32_t SendRequest(CSinglePipeClient& connection, CPendingRequests& pending, const IMessageSource& request,
                     uint32_t size, IReplySink& sink);
