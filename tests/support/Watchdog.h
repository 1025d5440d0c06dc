// Ends the process with a message when a scenario outlives its budget, so a
// hang fails the run instead of holding up CI.
#pragma once

#include <windows.h>

#include <cstdio>
#include <thread>

#include "support/Holders.h"
#include "support/lumlib.h"

namespace testkit {

struct Watchdog {
    Watchdog(const char* what, DWORD ms) : m_done(lumlib::NewEvent()), m_thread([this, what, ms] {
        if (::WaitForSingleObject(m_done.get(), ms) == WAIT_OBJECT_0) return;
        std::fprintf(stderr, "watchdog: '%s' still running after %lu ms: a hang\n", what, ms);
        std::fflush(stderr);
        ::TerminateProcess(::GetCurrentProcess(), 3);
    }) {}
    ~Watchdog() {
        ::SetEvent(m_done.get());
        m_thread.join();
    }
    CHandleHolder m_done;
    std::thread m_thread;
};

}  // namespace testkit
