// Owning holders, one per kind of resource the library frees. Each is
// move-only, hands its value out only through get() and release(), and closes
// what it holds when reset or destroyed. A reset keeps the thread's last
// error, so a holder going out of scope never disturbs an error being reported.
#pragma once

#include <windows.h>

#include <memory>
#include <utility>

namespace lumlib {

template <typename Traits>
class unique_resource {
public:
    using value_type = typename Traits::type;

    unique_resource() noexcept : m_value(Traits::empty()) {}
    explicit unique_resource(value_type value) noexcept : m_value(value) {}
    ~unique_resource() { reset(); }

    unique_resource(const unique_resource&) = delete;
    unique_resource& operator=(const unique_resource&) = delete;
    unique_resource(unique_resource&& other) noexcept : m_value(other.release()) {}
    unique_resource& operator=(unique_resource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    value_type get() const noexcept { return m_value; }
    bool is_valid() const noexcept { return Traits::is_valid(m_value); }
    explicit operator bool() const noexcept { return is_valid(); }

    // Gives up ownership without closing.
    value_type release() noexcept {
        value_type value = m_value;
        m_value = Traits::empty();
        return value;
    }

    // Closes what is held (when valid) and takes value. Holding the same
    // value again is not a replacement: it stays open.
    void reset(value_type value = Traits::empty()) noexcept {
        if (value == m_value) return;
        value_type old = m_value;
        m_value = value;
        if (Traits::is_valid(old)) {
            const DWORD error = ::GetLastError();
            Traits::close(old);
            ::SetLastError(error);
        }
    }

    // For out-parameters: closes what is held and gives the slot to fill.
    value_type* put() noexcept {
        reset();
        return &m_value;
    }

private:
    value_type m_value;
};

struct HandleTraits {
    using type = HANDLE;
    static HANDLE empty() noexcept { return nullptr; }
    // Null and INVALID_HANDLE_VALUE both count as empty.
    static bool is_valid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) noexcept { ::CloseHandle(h); }
};

struct FindHandleTraits {
    using type = HANDLE;
    static HANDLE empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool is_valid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) noexcept { ::FindClose(h); }
};

struct RegKeyTraits {
    using type = HKEY;
    static HKEY empty() noexcept { return nullptr; }
    static bool is_valid(HKEY k) noexcept { return k != nullptr; }
    static void close(HKEY k) noexcept { ::RegCloseKey(k); }
};

template <typename T>
struct LocalMemTraits {
    using type = T;
    static T empty() noexcept { return nullptr; }
    static bool is_valid(T p) noexcept { return p != nullptr; }
    static void close(T p) noexcept { ::LocalFree(reinterpret_cast<HLOCAL>(p)); }
};

struct ModuleTraits {
    using type = HMODULE;
    static HMODULE empty() noexcept { return nullptr; }
    static bool is_valid(HMODULE m) noexcept { return m != nullptr; }
    static void close(HMODULE m) noexcept { ::FreeLibrary(m); }
};

using unique_handle = unique_resource<HandleTraits>;
using unique_find_handle = unique_resource<FindHandleTraits>;
using unique_hkey = unique_resource<RegKeyTraits>;
template <typename T = HLOCAL>
using unique_local_ptr = unique_resource<LocalMemTraits<T>>;
using unique_hmodule = unique_resource<ModuleTraits>;

// Holds a critical section while it lives: what unique_critical_section::lock()
// returns, so a lock taken is released on every path (WIL's critical_section).
class [[nodiscard]] cs_guard {
public:
    explicit cs_guard(CRITICAL_SECTION* cs) noexcept : m_cs(cs) { ::EnterCriticalSection(m_cs); }
    ~cs_guard() { reset(); }
    cs_guard(cs_guard&& other) noexcept : m_cs(other.m_cs) { other.m_cs = nullptr; }
    cs_guard(const cs_guard&) = delete;
    cs_guard& operator=(const cs_guard&) = delete;
    cs_guard& operator=(cs_guard&&) = delete;
    // Leaves the section before the end of the scope.
    void reset() noexcept {
        if (m_cs) ::LeaveCriticalSection(m_cs);
        m_cs = nullptr;
    }

private:
    CRITICAL_SECTION* m_cs;
};

// A critical section that lives on the heap, so that its owner can move
// while nobody holds it; deleted with the holder. Taken only through lock().
class unique_critical_section {
public:
    unique_critical_section() : m_cs(new CRITICAL_SECTION) { ::InitializeCriticalSection(m_cs.get()); }
    ~unique_critical_section() {
        if (m_cs) ::DeleteCriticalSection(m_cs.get());
    }
    unique_critical_section(unique_critical_section&&) noexcept = default;
    unique_critical_section& operator=(unique_critical_section&& other) noexcept {
        if (this != &other) {
            if (m_cs) ::DeleteCriticalSection(m_cs.get());
            m_cs = std::move(other.m_cs);
        }
        return *this;
    }
    unique_critical_section(const unique_critical_section&) = delete;
    unique_critical_section& operator=(const unique_critical_section&) = delete;

    cs_guard lock() const noexcept { return cs_guard(m_cs.get()); }
    // Sleeps on condition with the section released meanwhile; the caller
    // holds it through a guard. False on time-out.
    bool wait(CONDITION_VARIABLE& condition, DWORD milliseconds) const noexcept {
        return ::SleepConditionVariableCS(&condition, m_cs.get(), milliseconds) != FALSE;
    }
    CRITICAL_SECTION* get() const noexcept { return m_cs.get(); }

private:
    std::unique_ptr<CRITICAL_SECTION> m_cs;
};

// Holds a slim reader/writer lock, shared or exclusive, while it lives.
class [[nodiscard]] srw_guard {
public:
    srw_guard(SRWLOCK* lock, bool exclusive) noexcept : m_lock(lock), m_exclusive(exclusive) {
        if (m_exclusive) ::AcquireSRWLockExclusive(m_lock);
        else ::AcquireSRWLockShared(m_lock);
    }
    ~srw_guard() { reset(); }
    srw_guard(srw_guard&& other) noexcept : m_lock(other.m_lock), m_exclusive(other.m_exclusive) { other.m_lock = nullptr; }
    srw_guard(const srw_guard&) = delete;
    srw_guard& operator=(const srw_guard&) = delete;
    srw_guard& operator=(srw_guard&&) = delete;
    void reset() noexcept {
        if (m_lock && m_exclusive) ::ReleaseSRWLockExclusive(m_lock);
        else if (m_lock) ::ReleaseSRWLockShared(m_lock);
        m_lock = nullptr;
    }

private:
    SRWLOCK* m_lock;
    bool m_exclusive;
};

// A slim lock: no kernel object, nothing to delete; not re-entrant.
class srw_lock {
public:
    srw_lock() = default;
    srw_lock(const srw_lock&) = delete;
    srw_lock& operator=(const srw_lock&) = delete;

    srw_guard lock_exclusive() const noexcept { return srw_guard(&m_lock, true); }
    srw_guard lock_shared() const noexcept { return srw_guard(&m_lock, false); }
    // Sleeps on condition with the lock (held exclusive by the caller) released meanwhile.
    bool wait(CONDITION_VARIABLE& condition, DWORD milliseconds) const noexcept {
        return ::SleepConditionVariableSRW(&condition, &m_lock, milliseconds, 0) != FALSE;
    }

private:
    mutable SRWLOCK m_lock = SRWLOCK_INIT;
};

// Event creation: unnamed, default security.
inline HANDLE NewEvent(bool manualReset = true) { return ::CreateEventW(nullptr, manualReset, FALSE, nullptr); }
inline bool IsSignalled(HANDLE h) { return ::WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }
// Some creation calls fail without setting a last error; a failed step must
// never be reported as success.
inline DWORD LastErrorOr(DWORD fallback) {
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

}  // namespace lumlib

// The holder of one Windows handle (null and INVALID_HANDLE_VALUE are empty).
using CHandleHolder = lumlib::unique_handle;
