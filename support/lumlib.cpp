#include "support/lumlib.h"

namespace lumlib {

uint32_t CSyncObj::Lock() {
    return WaitAcquired(::WaitForSingleObject(m_handle, INFINITE)) ? 1u : 0u;
}

void __auto_locker::Lock() {
    if (m_locked.load() != 0) return;  // never locks twice
    LONG locked = 0;
    switch (m_kind) {
    case kMutex:
        locked = WaitAcquired(::WaitForSingleObject(reinterpret_cast<HANDLE>(m_target), INFINITE)) ? 1 : 0;
        break;
    case kSyncObj:
        locked = WaitAcquired(::WaitForSingleObject(reinterpret_cast<CSyncObj*>(m_target)->GetHandle(), INFINITE)) ? 1 : 0;
        break;
    case kCriticalSection:
        ::EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(m_target));
        locked = 1;
        break;
    case kVirtualLock:
        locked = reinterpret_cast<ILockable*>(m_target)->Lock() ? 1 : 0;
        break;
    default:
        return;
    }
    m_locked.store(locked);
}

void __auto_locker::Unlock() {
    if (m_locked.load() == 0) return;
    BOOL ok = FALSE;
    switch (m_kind) {
    case kMutex:
        ok = ::ReleaseMutex(reinterpret_cast<HANDLE>(m_target));
        break;
    case kSyncObj:
        ok = reinterpret_cast<CSyncObj*>(m_target)->Unlock();
        break;
    case kVirtualLock:
        ok = reinterpret_cast<ILockable*>(m_target)->Unlock();
        break;
    case kCriticalSection:
        ::LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(m_target));
        ok = TRUE;
        break;
    default:
        return;
    }
    // a failed release stays marked locked, so the destructor tries once more
    m_locked.store(ok ? 0 : 1);
}

}  // namespace lumlib

CSyncLock::~CSyncLock() {
    if (m_locked && m_obj) m_locked = m_obj->Unlock() ? 0 : 1;
}

uint32_t CSyncLock::Lock() {
    if (!m_obj) return m_locked;
    m_locked = m_obj->Lock();
    return m_locked;
}

uint32_t CSyncLock::Unlock() {
    if (!m_obj) return m_locked ? 0u : 1u;
    BOOL ok = m_obj->Unlock();
    m_locked = ok ? 0 : 1;
    return ok ? 1u : 0u;
}

CLumException::CLumException(uint32_t error, const wchar_t* module, uint32_t line, const wchar_t* text)
    : m_error(error), m_line(line), m_module(module ? module : L""), m_text(text ? text : L"") {}

CLumException::CLumException(const wchar_t* module, uint32_t line, const wchar_t* text)
    : m_error(0), m_line(line), m_module(module ? module : L""), m_text(text ? text : L"") {
    m_error = ::GetLastError();
}
