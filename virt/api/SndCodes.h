// Conversion of Windows and service error codes to the API status codes that
// the exports return. Portable: no windows.h.
#pragma once

#include <cstddef>
#include <cstdint>

// The API statuses, as ZKSND_STATUS_* in zksndapi.h (which this portable code
// cannot include: it requires a 2-byte wchar_t, and the native sanitizer build
// has 4). ZkSndApi.cpp checks at compile time that both agree.
constexpr uint32_t kSndStatusOk = 0;
constexpr uint32_t kSndStatusFailed = 1;
constexpr uint32_t kSndStatusNoMemory = 2;
constexpr uint32_t kSndStatusBufferTooSmall = 3;
constexpr uint32_t kSndStatusInvalidParameter = 4;
constexpr uint32_t kSndStatusNotFound = 5;
constexpr uint32_t kSndStatusNotReady = 6;
constexpr uint32_t kSndStatusAlreadyExists = 7;
constexpr uint32_t kSndStatusAccessDenied = 8;
constexpr uint32_t kSndStatusService10 = 10;
constexpr uint32_t kSndStatusService11 = 11;
constexpr uint32_t kSndStatusNotConnected = 20;

// Status for an error code: an exact match in the conversion table gives its
// status, any other code gives 1 (general failure). Pure, no state. Apply it
// exactly once per code, at the boundary.
uint32_t SndErrorToStatus(uint32_t error);

// The symbolic name of a Windows error the connection or a call may end
// with ("ERROR_PIPE_BUSY"), or "" for one without a name here.
const char* SndErrorName(uint32_t error);

// Keeps a repeated diagnostic from flooding the shared log: one line for the
// first occurrence and for each change of kind (at most kBurst of them a
// period), then at most one summary line a period while it goes on.
// Not locked: the owner serialises the calls. Portable; times are any
// millisecond clock.
class CLogThrottle {
public:
    enum Verdict { kQuiet, kLine, kSummary };
    static constexpr uint64_t kPeriodMs = 60000;
    static constexpr uint32_t kBurst = 10;

    // An occurrence of kind at now.
    Verdict Note(uint64_t kind, uint64_t now) {
        ++m_count;
        if (m_count == 1) m_first = now;
        if (now - m_periodStart >= kPeriodMs) {
            m_periodStart = now;
            m_lines = 0;
        }
        const bool changed = m_count == 1 || kind != m_kind;
        m_kind = kind;
        Verdict verdict = kQuiet;
        if (changed && m_lines < kBurst) {
            ++m_lines;
            verdict = kLine;
        } else if (now - m_lastLine >= kPeriodMs) {
            verdict = kSummary;
        }
        if (verdict != kQuiet) m_lastLine = now;
        return verdict;
    }
    // The occurrences since the last Reset, and the time since the first of them.
    uint32_t Count() const { return m_count; }
    uint64_t Since(uint64_t now) const { return m_count == 0 ? 0 : now - m_first; }
    // The story is over (the connection came back, a call succeeded): the next
    // occurrence is a first one, within what is left of the period's kBurst.
    void Reset() { m_count = 0; }

private:
    uint64_t m_kind = 0;
    uint32_t m_count = 0;
    uint32_t m_lines = 0;
    uint64_t m_first = 0;
    uint64_t m_lastLine = 0;
    uint64_t m_periodStart = 0;
};

// Several kinds of ERROR line, each kept apart: a kind's first occurrence is
// written, then while it repeats one summary a period counts what was held
// back. A kind is what tells two errors apart (the callback code and the
// exception code, the refused account), so one never hides another. At most
// kBurst first lines a period over all kinds: a flood of ever-new kinds is
// held back too, each kind then reported by its summary. A new kind beyond
// kSlots takes the slot seen longest ago. Not locked; portable.
class CLogThrottleSet {
public:
    static constexpr size_t kSlots = 8;
    struct Verdict {
        CLogThrottle::Verdict verdict = CLogThrottle::kQuiet;
        uint32_t held = 0;   // kSummary: occurrences held back since the kind's last line
        uint64_t since = 0;  // kSummary: time since that line
    };
    Verdict Note(uint64_t kind, uint64_t now) {
        Verdict v;
        Slot* slot = Find(kind);
        if (slot == nullptr) {
            slot = Oldest();
            *slot = Slot{kind, true, 0, now, now};
            if (now - m_periodStart >= CLogThrottle::kPeriodMs) {
                m_periodStart = now;
                m_firstLines = 0;
            }
            if (m_firstLines < CLogThrottle::kBurst) {
                ++m_firstLines;
                v.verdict = CLogThrottle::kLine;
            } else {
                slot->held = 1;
            }
            return v;
        }
        slot->seen = now;
        ++slot->held;
        if (now - slot->lastLine < CLogThrottle::kPeriodMs) return v;
        v = Verdict{CLogThrottle::kSummary, slot->held, now - slot->lastLine};
        slot->held = 0;
        slot->lastLine = now;
        return v;
    }

private:
    struct Slot {
        uint64_t kind = 0;
        bool used = false;
        uint32_t held = 0;
        uint64_t lastLine = 0;
        uint64_t seen = 0;
    };
    Slot* Find(uint64_t kind) {
        for (Slot& s : m_slots)
            if (s.used && s.kind == kind) return &s;
        return nullptr;
    }
    Slot* Oldest() {
        Slot* oldest = &m_slots[0];
        for (Slot& s : m_slots) {
            if (!s.used) return &s;
            if (s.seen < oldest->seen) oldest = &s;
        }
        return oldest;
    }
    Slot m_slots[kSlots];
    uint32_t m_firstLines = 0;
    uint64_t m_periodStart = 0;
};
