// zksndapi.hpp - C++17 companion of zksndapi.h: header only, over the DLL's
// eight exports (nothing more is exported, nothing more to link).
//
//     zksnd::Session session(handlers);               // starts the library; ends it when destroyed
//     session.WaitConnected(std::chrono::seconds(10));
//     zksnd::DeviceList list = session.Devices(std::chrono::seconds(5));
//     if (!list) std::cerr << list.Message() << "\n";  // lost mid-list, not connected, or timed out
//     else if (!list.devices.empty()) zksnd::Result r = session.SetDefault(list.devices[0].value);
//
// Thread rules (read these before writing a handler):
// - Handlers run on the library's threads, never on the thread that made the
//   Session (except `connected` for the first connection, and a `connectionLost`
//   that ends it at once, which may run inside the constructor).
//   `connectionLost` may run at the same time as `deviceList`,
//   `serverInfo` and your own calls; `connected` as your own calls only (the
//   next `connected` waits for the last `connectionLost` to return): guard what
//   they share.
// - A handler must return promptly and must not destroy the Session. It may call
//   Settings(), SetSettings() and SetDefault(), but a request waits for its reply
//   there and holds up the notifications behind it: prefer signalling your own
//   thread. Devices() from a handler returns at once (RequestFailed, NOT_READY):
//   its answer comes as notifications, which wait for the handler to return.
// - Every Session function may be called from any thread. Devices() calls run one
//   at a time (a second caller waits for the first).
// - Pointers and references passed to a handler are valid during the call only.
// - Only one Session may be alive in the process (the library has one callback):
//   constructing a second one throws std::logic_error. After the first is
//   destroyed, a new one may be made. The check sees the Sessions of the module
//   (EXE or DLL) that compiles this header: a Session made by another module of
//   the process would take the library's callback over from the first one, so
//   keep Sessions in one module.
// - When the destructor returns, no handler is running and none will start, and
//   no WaitConnected() or Devices() call is (one waiting is woken: Devices()
//   then returns RequestFailed, FAILED).
// - Device records delivered between a `connectionLost` and the next `connected`
//   are dropped (they cannot be told apart from the ended connection's), as is a
//   list open when either comes: ask again after `connected`.
// - Requests made as soon as `connected` has run may reach the service before the
//   library's session id (the library sends it right after announcing the
//   connection): see docs/api.md, "After code 8".
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

// For the session's locks. Included as the application would include it: the
// min and max macros of the Windows SDK's <windows.h> (without NOMINMAX) are the
// application's to have or not, and this header compiles either way.
#include <windows.h>

#include "zksndapi.h"
#include "zksndapi_status.h"

namespace zksnd {

// ---- Statuses -----------------------------------------------------------------

// The library's statuses (ZKSND_STATUS_*), as an enum std::error_code knows.
enum class Status : uint32_t {
    Ok = ZKSND_STATUS_OK,
    Failed = ZKSND_STATUS_FAILED,
    NoMemory = ZKSND_STATUS_NO_MEMORY,
    BufferTooSmall = ZKSND_STATUS_BUFFER_TOO_SMALL,
    InvalidParameter = ZKSND_STATUS_INVALID_PARAMETER,
    NotFound = ZKSND_STATUS_NOT_FOUND,
    NotReady = ZKSND_STATUS_NOT_READY,
    AlreadyExists = ZKSND_STATUS_ALREADY_EXISTS,
    AccessDenied = ZKSND_STATUS_ACCESS_DENIED,
    Service10 = ZKSND_STATUS_SERVICE_10,
    Service11 = ZKSND_STATUS_SERVICE_11,
    NotConnected = ZKSND_STATUS_NOT_CONNECTED,
};

// "success", "not connected to the service", ...; "unknown status" otherwise.
inline const char* StatusText(uint32_t status) { return ::ZkSndStatusText(status); }

// The category of the library's statuses: value() is the ZKSND_STATUS_* number.
inline const std::error_category& StatusCategory() {
    class Category : public std::error_category {
    public:
        const char* name() const noexcept override { return "zksndapi"; }
        std::string message(int value) const override { return StatusText(static_cast<uint32_t>(value)); }
        std::error_condition default_error_condition(int value) const noexcept override {
            switch (value) {
            case ZKSND_STATUS_NO_MEMORY: return std::errc::not_enough_memory;
            case ZKSND_STATUS_INVALID_PARAMETER: return std::errc::invalid_argument;
            case ZKSND_STATUS_ACCESS_DENIED: return std::errc::permission_denied;
            case ZKSND_STATUS_NOT_CONNECTED: return std::errc::not_connected;
            default: return std::error_condition(value, *this);
            }
        }
    };
    static const Category category;
    return category;
}

// 0 gives an empty error_code (false), every other status a true one.
inline std::error_code MakeErrorCode(uint32_t status) {
    return std::error_code(static_cast<int>(status), StatusCategory());
}
inline std::error_code make_error_code(Status status) { return MakeErrorCode(static_cast<uint32_t>(status)); }

// ---- Results ------------------------------------------------------------------

// What a request ended with: a ZKSND_STATUS_* value. True when it is 0.
struct Result {
    uint32_t status = ZKSND_STATUS_FAILED;

    bool ok() const { return status == ZKSND_STATUS_OK; }
    explicit operator bool() const { return ok(); }
    std::error_code error() const { return MakeErrorCode(status); }
    const char* Text() const { return StatusText(status); }
};

// Settings(): the status, and the record when it is 0.
struct SettingsResult : Result {
    SndSettings settings{};  // opaque: the service's bytes, passed through unchanged
};

// One device of the list, copied out of the notification.
struct Device {
    uint32_t value = 0;       // what SetDefault takes (the record's field0)
    bool isDefault = false;   // def
    bool render = false;      // true: playback; false: capture
    uint32_t field3 = 0;      // service-defined, passed through
    std::wstring name;        // the service's text: escape control characters before showing it
};

// How a Devices() call ended.
enum class ListEnd {
    Complete,        // 301 arrived: `devices` is the whole list
    ConnectionLost,  // 6 arrived before 301: the list was cut; ask again after the next connection
    NotConnected,    // there was no connection when the call began
    TimedOut,        // neither 301 nor 6 within the time given
    RequestFailed,   // ZkSndVGetDeviceList returned another status (see `status`), or there was no
                     // memory to keep a record (NO_MEMORY): that list is discarded, or the
                     // Session is being destroyed (FAILED)
};

// Devices(): the list, or why there is none. True when Complete.
struct DeviceList : Result {
    ListEnd end = ListEnd::RequestFailed;
    std::vector<Device> devices;  // empty unless Complete

    std::string Message() const {
        switch (end) {
        case ListEnd::Complete: return "complete";
        case ListEnd::ConnectionLost: return "the connection was lost before the list was complete";
        case ListEnd::NotConnected: return "not connected to the service";
        case ListEnd::TimedOut: return "the list did not arrive in time";
        case ListEnd::RequestFailed: break;
        }
        return std::string("the request failed: ") + Text();
    }
};

// ---- Text -----------------------------------------------------------------------

// UTF-16 (a device name) to UTF-8; a lone surrogate becomes U+FFFD.
inline std::string ToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = static_cast<uint16_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(text[++i]) - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A name from the service made safe for a terminal, in UTF-8: CR, LF and tab as
// \r \n \t, other control characters as \xHH, C1 controls and the bidirectional
// marks and overrides as \uHHHH (as zksndctl and tessaline-emu show names).
inline std::string Printable(const std::wstring& name) {
    static const char kHex[] = "0123456789abcdef";
    std::wstring out;
    for (wchar_t c : name) {
        const unsigned u = static_cast<uint16_t>(c);
        if (c == L'\r') out += L"\\r";
        else if (c == L'\n') out += L"\\n";
        else if (c == L'\t') out += L"\\t";
        else if (u < 0x20 || u == 0x7F) out += {L'\\', L'x', wchar_t(kHex[u >> 4]), wchar_t(kHex[u & 15])};
        else if ((u >= 0x80 && u <= 0x9F) || u == 0x061C || u == 0x200E || u == 0x200F ||
                 (u >= 0x2028 && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069))
            out += {L'\\', L'u', wchar_t(kHex[u >> 12]), wchar_t(kHex[(u >> 8) & 15]), wchar_t(kHex[(u >> 4) & 15]),
                    wchar_t(kHex[u & 15])};
        else out += c;
    }
    return ToUtf8(out);
}

// ---- The session ----------------------------------------------------------------

namespace detail {

// The session's locks are the system's slim lock and condition variable, which
// need no memory: std::mutex under MinGW allocates on its first lock, and a
// lock that cannot allocate never returns.
class Lock {
public:
    Lock() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void lock() { ::AcquireSRWLockExclusive(&m_lock); }
    void unlock() { ::ReleaseSRWLockExclusive(&m_lock); }

private:
    friend class Condition;
    SRWLOCK m_lock = SRWLOCK_INIT;
};

class Condition {
public:
    Condition() = default;
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    void NotifyAll() { ::WakeAllConditionVariable(&m_condition); }
    // With lock held: waits until done() or for timeout (at most a century);
    // done()'s last answer.
    template <class Done>
    bool WaitFor(std::unique_lock<Lock>& lock, std::chrono::milliseconds timeout, Done done) {
        const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(timeout.count() > 0 ? timeout.count() : 0);
        while (!done()) {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= deadline) return false;
            // A DWORD of milliseconds, never INFINITE: a longer wait goes round again.
            const ULONGLONG left = deadline - now;
            const DWORD ms = left < INFINITE ? static_cast<DWORD>(left) : INFINITE - 1;
            ::SleepConditionVariableSRW(&m_condition, &lock.mutex()->m_lock, ms, 0);
        }
        return true;
    }

private:
    CONDITION_VARIABLE m_condition = CONDITION_VARIABLE_INIT;
};

}  // namespace detail

// Handlers, one per event; any may be empty. See the thread rules above.
struct Handlers {
    std::function<void()> connected;                       // code 8
    std::function<void(uint32_t sessionId)> connectionLost;  // code 6
    // A whole list the service sent without a Devices() call waiting for it (code 301 ended it);
    // one short of a record there was no memory to keep is discarded.
    std::function<void(const std::vector<Device>& devices)> deviceList;
    // Code 9: the payload followed by zeros, at least 4096 readable bytes (its length is not told).
    std::function<void(const uint8_t* payload)> serverInfo;
};

class Session {
public:
    // Starts the library (ZkSndVApiInit): it connects now or keeps trying once a
    // second. Throws std::logic_error when another Session is alive, and
    // std::system_error (StatusCategory) when the library cannot start.
    explicit Session(Handlers handlers = Handlers()) : m_handlers(std::move(handlers)) {
        if (LiveFlag().exchange(true)) throw std::logic_error("zksnd::Session: another Session is alive in this process");
        const uint32_t status = ::ZkSndVApiInit(&Session::OnNotify, this);
        if (status != ZKSND_STATUS_OK) {
            ::ZkSndDeInit();
            LiveFlag().store(false);
            throw std::system_error(MakeErrorCode(status), "zksnd::Session: ZkSndVApiInit");
        }
    }
    // Ends the library (ZkSndDeInit): notifications not yet delivered are discarded.
    // A WaitConnected() or Devices() still waiting, in a handler or on another
    // thread, is woken first, and the destructor returns only once it has left.
    ~Session() {
        {
            std::unique_lock<detail::Lock> lock(m_lock);
            m_closing = true;
            m_changed.NotifyAll();
            m_changed.WaitFor(lock, Bounded((std::chrono::milliseconds::max)()), [this] { return m_waiting == 0; });
        }
        ::ZkSndDeInit();
        LiveFlag().store(false);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Whether a connection is up: set by code 8, cleared by code 6, and as soon as
    // the library answers Devices() or SetDefault() NOT_CONNECTED (its 6 may come later).
    bool Connected() const {
        std::lock_guard<detail::Lock> lock(m_lock);
        return Up();
    }
    // Waits until connected or the time runs out; true when connected. From a
    // handler it does not wait: the next 8 cannot come before that handler returns.
    bool WaitConnected(std::chrono::milliseconds timeout) {
        if (InHandler()) return Connected();
        const Waiting waiting(*this);
        std::unique_lock<detail::Lock> lock(m_lock);
        m_changed.WaitFor(lock, Bounded(timeout), [this] { return Up() || m_closing; });
        return Up();
    }

    // Asks for the device list and waits for its 301, for the 6 that cuts it, or
    // until the time runs out. The answer is the first list that begins after the
    // request; a list that was already arriving goes to Handlers::deviceList.
    DeviceList Devices(std::chrono::milliseconds timeout) {
        DeviceList result;
        if (InHandler()) return Ended(result, ListEnd::RequestFailed, ZKSND_STATUS_NOT_READY);
        const Waiting waiting(*this);
        std::lock_guard<detail::Lock> oneCall(m_callLock);
        std::unique_lock<detail::Lock> lock(m_lock);
        if (m_closing) return Ended(result, ListEnd::RequestFailed, ZKSND_STATUS_FAILED);
        if (!Up()) return Ended(result, ListEnd::NotConnected, ZKSND_STATUS_NOT_CONNECTED);
        const uint64_t connection = m_connects;
        m_call = CallState::Requested;
        m_callDevices.clear();
        m_callShort = false;
        m_owedPaid = false;
        lock.unlock();
        // Sent without the lock: an answer may start arriving before this returns.
        const uint32_t status = ::ZkSndVGetDeviceList();
        lock.lock();
        if (status != ZKSND_STATUS_OK) {
            // A list that began meanwhile is nobody's answer: one still arriving reaches
            // Handlers::deviceList whole; one already ended is dropped (handlers run on the
            // library's threads, never this one).
            NobodysAnswer(m_call);
            m_call = CallState::None;
            if (status == kNotConnected) Refused(connection);
            return Ended(result, status == ZKSND_STATUS_NOT_CONNECTED ? ListEnd::NotConnected : ListEnd::RequestFailed,
                         status);
        }
        const bool ended =
            m_changed.WaitFor(lock, Bounded(timeout), [this] { return m_call >= CallState::Complete || m_closing; });
        const CallState how = m_call;
        m_call = CallState::None;
        if (m_closing) {
            m_callDevices.clear();
            return Ended(result, ListEnd::RequestFailed, ZKSND_STATUS_FAILED);
        }
        if (!ended) {
            // An answer cut off by the deadline carries on as a list nobody waits
            // for: it reaches Handlers::deviceList whole, never a later call. One
            // not begun yet is still owed: a later call's answer comes after it
            // (unless an owed one that began after this request ended meanwhile:
            // that may have been this one's, the one owed before lost).
            if (how == CallState::Requested && !m_owedPaid && m_owed < 2) ++m_owed;
            NobodysAnswer(how);
            return Ended(result, ListEnd::TimedOut, ZKSND_STATUS_FAILED);
        }
        if (how == CallState::Lost || m_callShort) {
            m_callDevices.clear();
            return how == CallState::Lost ? Ended(result, ListEnd::ConnectionLost, ZKSND_STATUS_NOT_CONNECTED)
                                          : Ended(result, ListEnd::RequestFailed, ZKSND_STATUS_NO_MEMORY);
        }
        result.devices.swap(m_callDevices);
        return Ended(result, ListEnd::Complete, ZKSND_STATUS_OK);
    }

    // The service's settings record. Without a connection: NOT_CONNECTED at once.
    // (A 20 here is the service's own answer: the connection stays up.)
    SettingsResult Settings() {
        SettingsResult result;
        result.status = Connected() ? ::ZkSndGetSettings(&result.settings) : kNotConnected;
        return result;
    }
    // Writes the record. Without a connection: NOT_CONNECTED at once.
    Result SetSettings(const SndSettings& settings) {
        return Result{Connected() ? ::ZkSndSetSettings(&settings) : kNotConnected};
    }
    // Makes the device with this value (Device::value) the default; no reply is
    // awaited, so OK means queued, not that the service got it (a connection that
    // breaks first loses it). Without a connection: NOT_CONNECTED at once.
    Result SetDefault(uint32_t value) {
        const uint64_t connection = Connection();
        if (connection == 0) return Result{kNotConnected};
        const uint32_t status = ::ZkSndSetDefault(value);
        if (status == kNotConnected) {
            std::lock_guard<detail::Lock> lock(m_lock);
            Refused(connection);
        }
        return Result{status};
    }
    // ZkConfigIsLocked: its 1 means "locked" (this library always says so).
    bool ConfigLocked() const { return ::ZkConfigIsLocked() == 1; }

private:
    static const uint32_t kNotConnected = ZKSND_STATUS_NOT_CONNECTED;
    static const size_t kMaxListDevices = 4096;
    // Where the list being received goes. Ordered: Complete and Lost end a call.
    enum class CallState { None, Requested, Receiving, Complete, Lost };

    static std::atomic<bool>& LiveFlag() {
        static std::atomic<bool> live(false);
        return live;
    }
    // Which threads run a handler, in a table under the lock rather than a
    // thread_local: MinGW GCC emulates thread_local with an allocation on each
    // thread's first use, which aborts the process when it fails.
    int EnterHandler() {  // the slot to free; -1: the table was full
        std::lock_guard<detail::Lock> lock(m_lock);
        for (int i = 0; i < kHandlerSlots; ++i) {
            if (m_inHandler[i] == 0) {
                m_inHandler[i] = ::GetCurrentThreadId();
                return i;
            }
        }
        ++m_unmarkedHandlers;
        return -1;
    }
    void LeaveHandler(int slot) {
        std::lock_guard<detail::Lock> lock(m_lock);
        if (slot >= 0) m_inHandler[slot] = 0;
        else --m_unmarkedHandlers;
    }
    // While a handler runs unmarked, any thread may be its: every caller counts as one.
    bool InHandler() {
        std::lock_guard<detail::Lock> lock(m_lock);
        bool found = m_unmarkedHandlers != 0;
        for (int i = 0; i < kHandlerSlots; ++i) found = found || m_inHandler[i] == ::GetCurrentThreadId();
        return found;
    }
    // A wait's time, at most a century: "for ever" (milliseconds::max()) would
    // overflow the clock's deadline and end the wait at once.
    static std::chrono::milliseconds Bounded(std::chrono::milliseconds timeout) {
        const std::chrono::milliseconds century = std::chrono::hours(24 * 365 * 100);
        return timeout < century ? timeout : century;
    }
    static DeviceList& Ended(DeviceList& result, ListEnd end, uint32_t status) {
        result.end = end;
        result.status = status;
        return result;
    }
    // A call that may wait, counted (from before it takes a lock to after it
    // released them all) so that the destructor waits for it to leave.
    class Waiting {
    public:
        explicit Waiting(Session& session) : m_session(session) {
            std::lock_guard<detail::Lock> lock(session.m_lock);
            ++session.m_waiting;
        }
        ~Waiting() {
            std::lock_guard<detail::Lock> lock(m_session.m_lock);
            if (--m_session.m_waiting == 0 && m_session.m_closing) m_session.m_changed.NotifyAll();
        }
        Waiting(const Waiting&) = delete;
        Waiting& operator=(const Waiting&) = delete;

    private:
        Session& m_session;
    };

    // With the lock: the call's list, no longer awaited, goes on as an unasked one.
    void NobodysAnswer(CallState how) {
        if (how == CallState::Receiving) {
            m_unasked.swap(m_callDevices);
            m_unaskedOpen = true;
            m_unaskedShort = m_callShort;
        }
        m_callDevices.clear();
    }
    static Device Copy(const SndDeviceInfo& info) {
        Device device;
        device.value = info.field0;
        device.isDefault = info.def != 0;
        device.render = info.render != 0;
        device.field3 = info.field3;
        device.name = info.devName;
        return device;
    }

    // The library answers a one-way call 20 as soon as it finds the pipe gone, and tells
    // 6 once the messages before the end are handed on: until then WaitConnected() would
    // not wait. (The settings calls' 20 is the service's answer, on a live connection.)
    bool Up() const { return m_connected && m_refused != m_connects; }
    // The number of the connection that is up (the count of 8s), 0 without one.
    uint64_t Connection() const {
        std::lock_guard<detail::Lock> lock(m_lock);
        return Up() ? m_connects : 0;
    }
    // A 20 for a connection a later 8 replaced says nothing of that one.
    void Refused(uint64_t connection) {
        if (connection == m_connects) m_refused = connection;
    }

    static void OnNotify(uint32_t code, uintptr_t param, void* context) {
        Session& session = *static_cast<Session*>(context);
        struct Mark {
            Session& owner;
            const int slot;
            ~Mark() { owner.LeaveHandler(slot); }  // also when a handler throws
        } mark{session, session.EnterHandler()};
        session.Notify(code, param);
    }

    void Notify(uint32_t code, uintptr_t param) {
        switch (code) {
        case ZKSND_NOTIFY_CONNECTED:
            OnConnected();
            break;
        case ZKSND_NOTIFY_CONNECTION_LOST:
            OnConnectionLost(static_cast<uint32_t>(param));
            break;
        case ZKSND_NOTIFY_DEVICE_INFO:
            if (param != 0) OnDeviceInfo(*reinterpret_cast<const SndDeviceInfo*>(param));
            break;
        case ZKSND_NOTIFY_DEVICE_LIST_END:
            OnDeviceListEnd();
            break;
        case ZKSND_NOTIFY_SERVER_INFO:
            if (param != 0 && m_handlers.serverInfo) m_handlers.serverInfo(reinterpret_cast<const uint8_t*>(param));
            break;
        default:
            break;
        }
    }

    void OnConnected() {
        {
            std::lock_guard<detail::Lock> lock(m_lock);
            m_connected = true;
            ++m_connects;
            // A list open across a connection's start cannot be whole.
            m_owed = 0;
            m_owedOpen = m_owedInCall = false;
            m_unasked.clear();
            m_unaskedOpen = false;
            m_unaskedShort = false;
        }
        m_changed.NotifyAll();
        if (m_handlers.connected) m_handlers.connected();
    }

    void OnConnectionLost(uint32_t sessionId) {
        {
            std::lock_guard<detail::Lock> lock(m_lock);
            m_connected = false;
            // A list in progress can no longer complete; records of the old
            // connection still being delivered are not a list either.
            m_owed = 0;
            m_owedOpen = m_owedInCall = false;
            m_unasked.clear();
            m_unaskedOpen = false;
            m_unaskedShort = false;
            if (m_call == CallState::Requested || m_call == CallState::Receiving) m_call = CallState::Lost;
        }
        m_changed.NotifyAll();
        if (m_handlers.connectionLost) m_handlers.connectionLost(sessionId);
    }

    void OnDeviceInfo(const SndDeviceInfo& info) {
        std::lock_guard<detail::Lock> lock(m_lock);
        // Between a 6 and the next 8: the rest of the ended connection's notifications
        // (the new connection's own can come before its 8 too, and are lost with them).
        if (!m_connected) return;
        // A list that began before the call's request is not its answer, nor one owed to an earlier call.
        if (m_call == CallState::Requested && !m_unaskedOpen && m_owed == 0) m_call = CallState::Receiving;
        const bool answer = m_call == CallState::Receiving;
        if (!answer && !m_unaskedOpen) {  // a list nobody asked for begins: an owed one?
            m_owedOpen = m_owed > 0;
            m_owedInCall = m_owedOpen && m_call == CallState::Requested;
        }
        m_unaskedOpen = m_unaskedOpen || !answer;
        std::vector<Device>& list = answer ? m_callDevices : m_unasked;
        bool& listShort = answer ? m_callShort : m_unaskedShort;
        if (listShort) return;
        // No machine has this many devices: a service that never ends its list is not followed further.
        if (list.size() >= kMaxListDevices) {
            listShort = true;
            list.clear();
            return;
        }
        try {
            list.push_back(Copy(info));
        } catch (const std::bad_alloc&) {
            // Without this record the list would pass for whole: it fails instead.
            listShort = true;
            list.clear();
        }
    }

    void OnDeviceListEnd() {
        std::vector<Device> unasked;
        bool deliver = false;
        {
            std::lock_guard<detail::Lock> lock(m_lock);
            if (!m_connected) return;
            if (m_call == CallState::Receiving ||
                (m_call == CallState::Requested && !m_unaskedOpen && m_owed == 0)) {  // an empty list answers too
                m_call = CallState::Complete;
            } else {
                const bool empty = !m_unaskedOpen && m_owed > 0;  // an owed list of no records: a 301 alone
                if (m_owedOpen || empty) {
                    --m_owed;
                    m_owedPaid = m_owedPaid || (empty ? m_call == CallState::Requested : m_owedInCall);
                }
                m_owedOpen = m_owedInCall = false;
                unasked.swap(m_unasked);
                m_unaskedOpen = false;
                deliver = !m_unaskedShort;
                m_unaskedShort = false;
            }
        }
        m_changed.NotifyAll();
        if (deliver && m_handlers.deviceList) m_handlers.deviceList(unasked);
    }

    const Handlers m_handlers;
    mutable detail::Lock m_lock;            // guards everything below
    detail::Condition m_changed;            // connection state or a call's list changed
    bool m_connected = false;
    uint64_t m_connects = 0;                // 8s so far: the number of the latest connection
    uint64_t m_refused = 0;                 // the connection the library answered NOT_CONNECTED for
    CallState m_call = CallState::None;
    std::vector<Device> m_callDevices;      // the answer being received
    std::vector<Device> m_unasked;          // a list nobody asked for, being received
    bool m_unaskedOpen = false;             // its first record has come, its 301 not yet
    int m_owed = 0;                         // lists owed to calls that ended before theirs began (at most 2)
    bool m_owedOpen = false;                // the unasked list being received began while one was owed
    bool m_owedInCall = false;              // ... and after the current call's request
    bool m_owedPaid = false;                // an owed list begun after the current call's request ended
    bool m_callShort = false;               // a record of the answer could not be kept
    bool m_unaskedShort = false;            // nor one of the unasked list
    bool m_closing = false;                 // the destructor has begun
    int m_waiting = 0;                      // WaitConnected() and Devices() calls running
    // Threads running a handler (0: a free slot). The library runs at most three
    // at once (8, 6 and the delivery thread's); more go unmarked, and counted.
    static const int kHandlerSlots = 8;
    DWORD m_inHandler[kHandlerSlots] = {};
    int m_unmarkedHandlers = 0;
    detail::Lock m_callLock;                // one Devices() call at a time
};

}  // namespace zksnd

namespace std {
template <>
struct is_error_code_enum<zksnd::Status> : true_type {};
}  // namespace std
