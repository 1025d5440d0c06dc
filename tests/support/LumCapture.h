// Test helpers: capture the CLumException a call raises, and run a blocking
// call on another thread while the test watches whether it has returned.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "support/lumlib.h"

namespace zk_testkit {

struct Raised {
    bool raised = false;
    uint32_t error = 0;
    uint32_t line = 0;
    std::wstring module;
    bool Is(uint32_t e, const wchar_t* m, uint32_t l) const { return raised && error == e && module == m && line == l; }
};

// Runs f; a CLumException it raises is recorded and deleted.
inline Raised Capture(const std::function<void()>& f) {
    try {
        f();
    } catch (CLumException* e) {
        const Raised r{true, e->GetError(), e->GetLine(), e->GetModule()};
        delete e;
        return r;
    }
    return Raised();
}

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
