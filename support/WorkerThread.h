// The owner of one library thread. It starts the thread running or
// suspended, tells it to stop through a manual-reset stop event of its own,
// resumes and joins it. No thread outlives its owner: the destructor stops and
// joins a thread that is still running.
#pragma once

#include <windows.h>

#include <cstdint>
#include <utility>

#include "support/Holders.h"

namespace lumlib {

class CWorkerThread {
public:
    using Routine = unsigned(__stdcall*)(void* param);

    CWorkerThread() = default;
    ~CWorkerThread() { Stop(); }
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;
    CWorkerThread(CWorkerThread&& other) noexcept
        : m_thread(std::move(other.m_thread)), m_stopEvent(std::move(other.m_stopEvent)),
          m_id(other.m_id), m_suspended(other.m_suspended) {}
    // A thread this owner still has is stopped and joined before it takes the other's.
    CWorkerThread& operator=(CWorkerThread&& other) noexcept {
        if (this != &other) {
            Stop();
            m_thread = std::move(other.m_thread);
            m_stopEvent = std::move(other.m_stopEvent);
            m_id = other.m_id;
            m_suspended = other.m_suspended;
        }
        return *this;
    }

    // Creates the stop event (reset) and the thread. 0, or the Windows error
    // of the step that failed (nothing is left running then). A thread that
    // is still owned is stopped and joined first.
    DWORD Start(Routine routine, void* param, bool suspended = false, unsigned stackSize = 0);

    // Makes the stop event now (0, or the Windows error), so that a Signal from another
    // thread never meets it being made by Start.
    DWORD PrepareStopEvent();
    // Lets a thread started suspended run; does nothing otherwise.
    void Resume();
    // Sets the stop event the routine watches.
    void Signal();
    HANDLE StopEvent() const { return m_stopEvent.get(); }

    // The thread's handle, for waits; null when none is owned.
    HANDLE handle() const { return m_thread.get(); }
    bool IsStarted() const { return m_thread.is_valid(); }
    // True when no thread is owned or the owned one has ended.
    bool HasEnded() const { return !m_thread.is_valid() || IsSignalled(m_thread.get()); }
    // True when called on the owned thread itself.
    bool IsCurrent() const { return m_thread.is_valid() && m_id == ::GetCurrentThreadId(); }

    // Resumes and waits without time-out for the thread to end, then lets go
    // of it. Called on the thread itself it cannot wait: the handle is let go
    // and the thread ends on its own; false then. True when the thread has ended.
    bool Join();
    // Signal, then Join.
    bool Stop();

private:
    unique_handle m_thread;
    unique_handle m_stopEvent;
    DWORD m_id = 0;
    bool m_suspended = false;
};

}  // namespace lumlib
