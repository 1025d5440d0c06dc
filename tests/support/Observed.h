// State that other threads change and a test waits on: every change and
// every look under one lock, and each change wakes the waiters.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace zk_testkit {

class CObserved {
public:
    // Runs look under the lock; its result.
    template <class Look> auto Read(Look look) {
        std::lock_guard<std::mutex> lock(m_lock);
        return look();
    }
    // A copy of a field that changes write.
    template <class T> T Get(const T& field) { return Read([&] { return field; }); }
    // Makes the change under the lock, then wakes the waiters.
    template <class Change> void Note(Change change) {
        Read(change);
        m_changed.notify_all();
    }
    // Waits up to timeoutMs for done, looked at under the lock after each change.
    template <class Done> bool WaitFor(Done done, DWORD timeoutMs) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
};

}  // namespace zk_testkit
