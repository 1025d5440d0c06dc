#include "support/WorkerThread.h"

#include <process.h>

namespace lumlib {

DWORD CWorkerThread::Start(Routine routine, void* param, bool suspended, unsigned stackSize) {
    Stop();
    if (routine == nullptr) return ERROR_INVALID_PARAMETER;
    if (m_stopEvent.is_valid()) ::ResetEvent(m_stopEvent.get());
    else if (const DWORD error = PrepareStopEvent()) return error;
    unsigned id = 0;
    ::SetLastError(ERROR_SUCCESS);
    // _beginthreadex rather than CreateThread: the routines use the C runtime.
    uintptr_t thread = ::_beginthreadex(nullptr, stackSize, routine, param, suspended ? CREATE_SUSPENDED : 0, &id);
    if (thread == 0) return LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
    m_thread.reset(reinterpret_cast<HANDLE>(thread));
    m_id = id;
    m_suspended = suspended;
    return ERROR_SUCCESS;
}

DWORD CWorkerThread::PrepareStopEvent() {
    if (!m_stopEvent.is_valid()) m_stopEvent.reset(NewEvent());
    return m_stopEvent.is_valid() ? ERROR_SUCCESS : LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
}

void CWorkerThread::Resume() {
    if (!m_suspended || !m_thread.is_valid()) return;
    m_suspended = false;
    ::ResumeThread(m_thread.get());
}

void CWorkerThread::Signal() {
    if (m_stopEvent.is_valid()) ::SetEvent(m_stopEvent.get());
}

bool CWorkerThread::Join() {
    if (!m_thread.is_valid()) return true;
    if (IsCurrent()) {
        m_thread.reset();
        m_id = 0;
        return false;
    }
    Resume();
    ::WaitForSingleObject(m_thread.get(), INFINITE);
    m_thread.reset();
    m_id = 0;
    return true;
}

bool CWorkerThread::Stop() {
    Signal();
    return Join();
}

}  // namespace lumlib
