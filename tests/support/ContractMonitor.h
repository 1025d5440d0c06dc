// The callback contract, checked on every callback a scenario gets: 8 and 6
// alternate, starting with 8 (a teardown ends the pairing), and an 8 never
// starts while the library's 6 before it runs; a list is records
// (300) ended by one 301, never joined to another and never continued after
// the next 8; a record of a connection never comes after the next 8; no
// callback starts once a teardown from the application returned, until the
// next Init; pointers to records and server information are 8-byte aligned.
// A scenario may tag records by name, C<connection>-... or L<list>-...: the
// rules then also hold for what the tags say, and a 301 must end records
// (such a scenario sends no empty list).
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "virt/api/zksndapi.h"

namespace zk_testkit {

class CContractMonitor {
public:
    // On entry to every callback (any thread).
    void OnCallback(uint32_t code, uintptr_t param) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        State& m = m_state;
        if (m.closed) Break("callback " + std::to_string(code) + " after a teardown returned");
        if ((code == ZKSND_NOTIFY_DEVICE_INFO || code == ZKSND_NOTIFY_SERVER_INFO) && param % 8 != 0)
            Break("callback " + std::to_string(code) + " with a pointer not 8-byte aligned");
        if (code == ZKSND_NOTIFY_CONNECTED) {
            if (m.connected) Break("8 after 8");
            if (m.inLoss) Break("8 while the 6 before it runs");
            m.connected = true;
            ++m.eights;
            m.records = 0;  // a list open at the 8 was cut by the connection's end
        } else if (code == ZKSND_NOTIFY_CONNECTION_LOST) {
            if (!m.connected) Break("6 without an 8 before it");
            m.connected = false;
            m.inLoss = true;
        } else if (code == ZKSND_NOTIFY_DEVICE_INFO) {
            const wchar_t* name = reinterpret_cast<const SndDeviceInfo*>(param)->devName;
            const uint32_t tag = name[0] != 0 ? uint32_t(std::wcstoul(name + 1, nullptr, 10)) : 0;
            m.tagged = m.tagged || tag != 0;
            if (name[0] == L'C' && tag != m.eights)
                Break("a record of connection " + std::to_string(tag) + " after 8 number " + std::to_string(m.eights));
            const uint32_t list = name[0] == L'L' ? tag : 0;
            if (m.records != 0 && list != m.list) Break("list " + std::to_string(list) + " joined to the one before");
            m.list = list;
            ++m.records;
        } else if (code == ZKSND_NOTIFY_DEVICE_LIST_END) {
            // This ends a list whose records were all dropped, or one from before the 8.
            if (m.records == 0 && m.tagged) Break("a 301 that ends no records");
            m.records = 0;
        }
    }
    // On return from every callback.
    void OnReturn(uint32_t code) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (code == ZKSND_NOTIFY_CONNECTION_LOST) m_state.inLoss = false;
    }
    // An Init, or a teardown that returned: none ends the pairing; after a
    // teardown no callback may start until the next Init. (An Init inside a
    // 6 gets its own library's 8 there.)
    void OnLifecycle(bool init) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_state.inLoss = false;
        m_state.connected = m_state.connected && init;
        m_state.records = init ? m_state.records : 0;
        m_state.closed = !init;
    }
    // The rules broken since the last Reset; then starts afresh.
    std::vector<std::string> Reset() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> broken = std::move(m_state.broken);
        m_state = State{};
        return broken;
    }

private:
    void Break(const std::string& what) {
        std::vector<std::string>& b = m_state.broken;
        if (b.size() < 20 && std::find(b.begin(), b.end(), what) == b.end()) b.push_back(what);
    }
    struct State {
        std::vector<std::string> broken;
        bool connected = false, closed = false, tagged = false, inLoss = false;
        uint32_t eights = 0, records = 0, list = 0;
    };
    std::mutex m_mutex;
    State m_state;
};

// The monitor of every scenario of a test program.
inline CContractMonitor& Monitor() { static CContractMonitor monitor; return monitor; }

// ZkSndVApiInit through the monitor: the library gets the monitor's callback,
// with the application's (callback, context) pair as its context (one per
// pair, kept: the library may still hold an older one); each callback passes
// the monitor first. With no callback the call goes through as it is.
struct MonitoredInit {
    using Pair = std::pair<ZkSndNotifyCallback, void*>;
    PFN_ZkSndVApiInit fn;
    std::mutex mutex;
    std::map<Pair, Pair> pairs;
    static void Call(uint32_t code, uintptr_t param, void* pair) {
        Monitor().OnCallback(code, param);
        static_cast<Pair*>(pair)->first(code, param, static_cast<Pair*>(pair)->second);
        Monitor().OnReturn(code);  // a callback that throws says so itself
    }
    uint32_t operator()(ZkSndNotifyCallback cb, void* context) {
        if (cb == nullptr) return fn(nullptr, context);
        Monitor().OnLifecycle(true);
        std::unique_lock<std::mutex> lock(mutex);
        Pair* pair = &pairs.emplace(Pair{cb, context}, Pair{cb, context}).first->second;
        lock.unlock();
        return fn(&Call, pair);
    }
};
// ZkSndDeInit or ZkSndVCleanUp through the monitor: once it returned, no callback may start.
struct MonitoredTeardown {
    PFN_ZkSndVoid fn;
    uint32_t operator()() const {
        const uint32_t result = fn();
        Monitor().OnLifecycle(false);
        return result;
    }
};

}  // namespace zk_testkit
