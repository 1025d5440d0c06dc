// Helpers shared by the single pipe client and request/response client tests.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

namespace client_test {

inline ULONGLONG Now() { return ::GetTickCount64(); }

// What the client's hooks saw, changed under one mutex; tests wait on it.
class Recorder {
public:
    void Note(const std::function<void()>& change) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            change();
        }
        m_changed.notify_all();
    }
    bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    }
    template <typename T> T Get(const T& field) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return field;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
};

inline uint32_t U32(const std::vector<uint8_t>& m, size_t offset) {
    uint32_t v = 0;
    if (m.size() >= offset + 4) memcpy(&v, m.data() + offset, 4);
    return v;
}
inline void PutU32(std::vector<uint8_t>& m, size_t offset, uint32_t v) { memcpy(m.data() + offset, &v, 4); }

// A message of `size` bytes: length field, request number, link status 0,
// then bytes derived from `tag`.
inline std::vector<uint8_t> Message(uint32_t size, uint32_t requestId, uint32_t tag = 0) {
    std::vector<uint8_t> m(size < 12 ? 12 : size);
    PutU32(m, 0, size);
    PutU32(m, 4, requestId);
    for (size_t i = 12; i < m.size(); ++i) m[i] = static_cast<uint8_t>(tag * 31 + i);
    m.resize(size);
    return m;
}

}  // namespace client_test
