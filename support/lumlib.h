// lumlib: lock wrappers, scoped lockers, the owning handle holder and the
// framework's exception type. Every lock of the library is one of these, and
// every wait on a lock is without time-out.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <wchar.h>

#include "support/Holders.h"

namespace lumlib {

// A wait on a mutex or sync object counts as acquired when it ended signalled
// or abandoned: a mutex left by a thread that died is taken over silently.
inline bool WaitAcquired(DWORD waitResult) { return (waitResult & ~0x80u) == 0; }

// Abstract wrapper around one waitable handle that it does not own.
class CSyncObj {
public:
    explicit CSyncObj(HANDLE handle) : m_handle(handle) {}
    virtual ~CSyncObj() {}
    virtual BOOL Unlock() = 0;

    // 1 when the wait ended with the object signalled or abandoned, else 0.
    uint32_t Lock();
    HANDLE GetHandle() const { return m_handle; }

protected:
    HANDLE m_handle;
};

// A mutex someone else owns, locked for the length of one region.
class CMutexObj : public CSyncObj {
public:
    explicit CMutexObj(HANDLE mutex) : CSyncObj(mutex) {}
    BOOL Unlock() override { return ::ReleaseMutex(m_handle); }
};

// Scoped locker over a mutex handle (kind 1), a CSyncObj (kind 2), a critical
// section (kind 3) or an object whose virtual slot 0 locks and slot 1 unlocks
// (kind 4). It never locks twice and unlocks on destruction.
class __auto_locker {
public:
    enum Kind : uint32_t { kMutex = 1, kSyncObj = 2, kCriticalSection = 3, kVirtualLock = 4 };

    // Objects of kind 4: slot 0 locks, slot 1 unlocks; both return nonzero on success.
    class ILockable {
    public:
        virtual BOOL Lock() = 0;
        virtual BOOL Unlock() = 0;
    protected:
        ~ILockable() = default;  // never deleted through this interface
    };

    explicit __auto_locker(HANDLE mutex) : m_locked(0), m_kind(kMutex), m_target(reinterpret_cast<uintptr_t>(mutex)) {}
    explicit __auto_locker(const CSyncObj& obj) : __auto_locker(obj.GetHandle()) {}
    explicit __auto_locker(CSyncObj* obj) : m_locked(0), m_kind(kSyncObj), m_target(reinterpret_cast<uintptr_t>(obj)) {}
    explicit __auto_locker(CRITICAL_SECTION* cs) : m_locked(0), m_kind(kCriticalSection), m_target(reinterpret_cast<uintptr_t>(cs)) {}
    explicit __auto_locker(ILockable* obj) : m_locked(0), m_kind(kVirtualLock), m_target(reinterpret_cast<uintptr_t>(obj)) {}
    explicit __auto_locker(const CHandleHolder& holder) : __auto_locker(holder.get()) {}

    virtual ~__auto_locker() { Unlock(); }

    __auto_locker(const __auto_locker&) = delete;
    __auto_locker& operator=(const __auto_locker&) = delete;

    void Lock();
    void Unlock();
    bool IsLocked() const { return m_locked.load() != 0; }
    uint32_t GetKind() const { return m_kind; }

private:
    std::atomic<LONG> m_locked;
    uint32_t m_kind;
    uintptr_t m_target;
};

}  // namespace lumlib

// Scoped lock over a CSyncObj; does not lock on construction.
class CSyncLock {
public:
    explicit CSyncLock(lumlib::CSyncObj* obj) : m_obj(obj), m_locked(0) {}
    ~CSyncLock();
    CSyncLock(const CSyncLock&) = delete;
    CSyncLock& operator=(const CSyncLock&) = delete;

    uint32_t Lock();
    uint32_t Unlock();
    bool IsLocked() const { return m_locked != 0; }

private:
    lumlib::CSyncObj* m_obj;
    uint32_t m_locked;
};

// The framework's exception: raised as a pointer (throw new CLumException(...)),
// owned and deleted by whoever catches it. Raising allocates (the object and
// the runtime's per-thread state), so only a step that has already failed
// raises it; the ordinary paths return a LumError instead.
class CLumException {
public:
    CLumException(uint32_t error, const wchar_t* module, uint32_t line, const wchar_t* text);
    // Takes the calling thread's last error, read after the strings are copied.
    CLumException(const wchar_t* module, uint32_t line, const wchar_t* text);

    uint32_t GetError() const { return m_error; }
    uint32_t GetLine() const { return m_line; }
    const wchar_t* GetModule() const { return m_module.c_str(); }
    const wchar_t* GetText() const { return m_text.c_str(); }

private:
    uint32_t m_error;
    uint32_t m_line;
    std::wstring m_module;
    std::wstring m_text;
};

namespace lumlib {

// Why a step failed, for callers to branch on (never on a line number).
enum class LumReason : uint8_t {
    kNone,           // no failure
    kFailed,         // a Windows call failed: the code says which error
    kCancelled,      // the connection was cancelled (this side ended it)
    kStalled,        // a write made no progress within its bound
    kLost,           // the channel's connection is gone or going
    kNoMemory,       // an allocation failed
    kInvalid,        // a bad argument
    kServerRefused,  // the pipe's server is not one the client talks to
    kStopped,        // the client stopped during the step
    kRaised,         // the error boundary caught an exception
};

// The error of one step, carried by value: a Windows code, the reason and
// where it arose (a static module name and the real source line). Building
// or returning it allocates nothing and raises nothing, so the paths a
// connection ends on cost no exception.
struct LumError {
    uint32_t error = ERROR_SUCCESS;
    LumReason reason = LumReason::kNone;
    const wchar_t* module = L"";
    uint32_t line = 0;
    bool failed() const { return reason != LumReason::kNone; }
};

// A failure with error (ERROR_GEN_FAILURE when the call set none).
inline LumError Fail(DWORD error, LumReason reason, const wchar_t* module, uint32_t line) {
    return LumError{error != ERROR_SUCCESS ? static_cast<uint32_t>(error) : static_cast<uint32_t>(ERROR_GEN_FAILURE),
                    reason, module, line};
}
// A failed Windows call, with the thread's last error.
inline LumError FailLast(const wchar_t* module, uint32_t line) {
    return Fail(::GetLastError(), LumReason::kFailed, module, line);
}

// What the error boundary learnt about a failure: the code, and for a
// CLumException its module, line and text (cut to fit; empty otherwise).
// Fixed arrays: filling it in a handler allocates nothing.
struct LumFailure {
    uint32_t error = 0;
    uint32_t line = 0;
    LumReason reason = LumReason::kNone;
    wchar_t module[32] = {};
    wchar_t text[128] = {};
    void Keep(uint32_t code, const CLumException* e) {
        error = code;
        reason = code == ERROR_SUCCESS ? LumReason::kNone : LumReason::kRaised;
        line = e != nullptr ? e->GetLine() : 0;
        module[0] = text[0] = L'\0';
        if (e == nullptr) return;
        wcsncpy(module, e->GetModule(), _countof(module) - 1);
        module[_countof(module) - 1] = L'\0';
        wcsncpy(text, e->GetText(), _countof(text) - 1);
        text[_countof(text) - 1] = L'\0';
    }
    void Keep(const LumError& e) {
        error = e.error;
        reason = e.reason;
        line = e.line;
        text[0] = L'\0';
        wcsncpy(module, e.module != nullptr ? e.module : L"", _countof(module) - 1);
        module[_countof(module) - 1] = L'\0';
    }
};

// The error boundary of the framework: runs f and turns what it raises into
// a Windows error code. A LumError raised by value is kept as it is; a
// CLumException is owned and deleted here; one that carries no error still
// reports a failure. f returns a code (0 success) or nothing.
template <typename F>
uint32_t CatchReturn(F&& f, LumFailure* failure = nullptr) noexcept {
    if (failure != nullptr) failure->Keep(ERROR_SUCCESS, nullptr);
    try {
        if constexpr (std::is_void<decltype(f())>::value) {
            f();
            return ERROR_SUCCESS;
        } else {
            return static_cast<uint32_t>(f());
        }
    } catch (const LumError& raised) {
        // A construction that cannot finish raises its LumError by value (no object on the heap).
        if (failure != nullptr) failure->Keep(raised);
        return raised.error != ERROR_SUCCESS ? raised.error : static_cast<uint32_t>(ERROR_GEN_FAILURE);
    } catch (CLumException* raised) {
        std::unique_ptr<CLumException> e(raised);
        const uint32_t code = e->GetError() != ERROR_SUCCESS ? e->GetError() : static_cast<uint32_t>(ERROR_GEN_FAILURE);
        if (failure != nullptr) failure->Keep(code, e.get());
        return code;
    } catch (const std::bad_alloc&) {
        if (failure != nullptr) {
            failure->Keep(ERROR_NOT_ENOUGH_MEMORY, nullptr);
            failure->reason = LumReason::kNoMemory;
        }
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        if (failure != nullptr) failure->Keep(ERROR_GEN_FAILURE, nullptr);
        return ERROR_GEN_FAILURE;
    }
}

}  // namespace lumlib
