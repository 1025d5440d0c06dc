// Conversion of Windows and service error codes to the API status codes that
// the exports return. Portable: no windows.h.
#pragma once

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
