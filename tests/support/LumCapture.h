// Test helper: run a blocking call on another thread while the test watches
// whether it has returned.
#pragma once

#include <windows.h>

#include <functional>
#include <thread>

#include "support/Holders.h"

namespace zk_testkit {

// Runs f on a thread of its own; joined on destruction.
class Background {
public:
    explicit Background(std::function<void()> f)
        : m_done(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_thread([this, f] {
              f();
              ::SetEvent(m_done.get());
          }) {}
    ~Background() { m_thread.join(); }
    // true once f has returned; waits up to ms for it.
    bool Finished(DWORD ms) { return ::WaitForSingleObject(m_done.get(), ms) == WAIT_OBJECT_0; }

private:
    CHandleHolder m_done;
    std::thread m_thread;
};

}  // namespace zk_testkit
