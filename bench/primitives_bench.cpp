// What the building blocks cost here, each against an uncontended critical
// section in the same run: kernel mutexes, events, waits, Sleep(0), event
// creation, a two-thread hand-off and a log line's formatting. Under Wine
// every call on a kernel object is a round trip to wineserver; these figures
// tell which of the library's steps are worth removing. Not table rows.
#include <cstdio>
#include <cwchar>

#include "bench/kit/BenchKit.h"

using namespace zkbench;

namespace {

template <typename Op>
double PerOpUs(int count, Op op) {
    double best = 1e30;
    for (int pass = 0; pass < 5; ++pass) {  // the best pass: the least disturbed by other processes
        double t0 = NowUs();
        for (int i = 0; i < count; ++i) op();
        double t = (NowUs() - t0) / count;
        if (t < best) best = t;
    }
    return best;
}

struct PingPong {
    CHandleHolder ping{lumlib::NewEvent(false)};
    CHandleHolder pong{lumlib::NewEvent(false)};
    int count = 0;
    static unsigned __stdcall Echo(void* param) {
        PingPong* p = static_cast<PingPong*>(param);
        for (int i = 0; i < p->count; ++i) {
            ::WaitForSingleObject(p->ping.get(), INFINITE);
            ::SetEvent(p->pong.get());
        }
        return 0;
    }
};

}  // namespace

int main() {
    std::printf("primitives_bench: cost of one call, best of 5 passes (ratio: against EnterCriticalSection+Leave)\n");
    const int n = 20000;
    lumlib::unique_critical_section cs;
    SRWLOCK srw = SRWLOCK_INIT;
    CHandleHolder mutex(::CreateMutexW(nullptr, FALSE, nullptr));
    CHandleHolder event(lumlib::NewEvent());
    volatile LONG counter = 0;

    const double csUs = PerOpUs(n, [&] { const auto lock = cs.lock(); ++counter; });
    auto line = [&](const char* what, double us) { Note("%-58s %8.2f us  %8.0fx", what, us, us / csUs); };
    line("EnterCriticalSection + LeaveCriticalSection", csUs);
    line("AcquireSRWLockExclusive + Release", PerOpUs(n, [&] { ::AcquireSRWLockExclusive(&srw); ++counter; ::ReleaseSRWLockExclusive(&srw); }));
    line("InterlockedIncrement", PerOpUs(n, [&] { ::InterlockedIncrement(&counter); }));
    line("kernel mutex: WaitForSingleObject + ReleaseMutex", PerOpUs(n / 4, [&] { ::WaitForSingleObject(mutex.get(), INFINITE); ::ReleaseMutex(mutex.get()); }));
    line("SetEvent", PerOpUs(n / 4, [&] { ::SetEvent(event.get()); }));
    line("ResetEvent", PerOpUs(n / 4, [&] { ::ResetEvent(event.get()); }));
    ::SetEvent(event.get());
    line("WaitForSingleObject(signalled event, 0): an IsSignalled test", PerOpUs(n / 4, [&] { ::WaitForSingleObject(event.get(), 0); }));
    line("CreateEventW + CloseHandle: a per-request event", PerOpUs(n / 10, [&] { CHandleHolder e(::CreateEventW(nullptr, TRUE, FALSE, nullptr)); }));
    line("Sleep(0), nothing else runnable in this process", PerOpUs(n / 4, [&] { ::Sleep(0); }));
    line("GetLocalTime", PerOpUs(n, [&] { SYSTEMTIME t; ::GetLocalTime(&t); }));
    wchar_t text[512];
    line("_snwprintf of a DEBUG line's text", PerOpUs(n / 4, [&] {
        _snwprintf(text, 512, L"sndapi: CSndApiPipeClient::ApiSetDefaultDevice: (%u): Set default device...", 123u);
    }));

    PingPong pp;
    pp.count = n / 10;
    lumlib::CWorkerThread echo;
    echo.Start(&PingPong::Echo, &pp);
    double t0 = NowUs();
    for (int i = 0; i < pp.count; ++i) {
        ::SetEvent(pp.ping.get());
        ::WaitForSingleObject(pp.pong.get(), INFINITE);
    }
    double handoff = (NowUs() - t0) / pp.count / 2;
    echo.Join();
    line("thread hand-off through an event (half an event ping-pong)", handoff);

    // The same hand-off through a condition variable on an SRW lock.
    struct CvPingPong {
        SRWLOCK lock = SRWLOCK_INIT;
        CONDITION_VARIABLE cv = CONDITION_VARIABLE_INIT;
        int turn = 0;  // 0: main's, 1: echo's
        int count = 0;
        static unsigned __stdcall Echo(void* param) {
            CvPingPong* p = static_cast<CvPingPong*>(param);
            for (int i = 0; i < p->count; ++i) {
                ::AcquireSRWLockExclusive(&p->lock);
                while (p->turn != 1) ::SleepConditionVariableSRW(&p->cv, &p->lock, INFINITE, 0);
                p->turn = 0;
                ::ReleaseSRWLockExclusive(&p->lock);
                ::WakeAllConditionVariable(&p->cv);
            }
            return 0;
        }
    } cvp;
    cvp.count = n / 10;
    lumlib::CWorkerThread cvEcho;
    cvEcho.Start(&CvPingPong::Echo, &cvp);
    t0 = NowUs();
    for (int i = 0; i < cvp.count; ++i) {
        ::AcquireSRWLockExclusive(&cvp.lock);
        cvp.turn = 1;
        ::ReleaseSRWLockExclusive(&cvp.lock);
        ::WakeAllConditionVariable(&cvp.cv);
        ::AcquireSRWLockExclusive(&cvp.lock);
        while (cvp.turn != 0) ::SleepConditionVariableSRW(&cvp.cv, &cvp.lock, INFINITE, 0);
        ::ReleaseSRWLockExclusive(&cvp.lock);
    }
    cvEcho.Join();
    line("thread hand-off through a condition variable (half a ping-pong)", (NowUs() - t0) / cvp.count / 2);

    // The waker's own cost when the other thread sleeps on the condition.
    struct Sleeper {
        lumlib::unique_critical_section cs;
        CONDITION_VARIABLE cv = CONDITION_VARIABLE_INIT;
        volatile LONG asleep = 0, quit = 0;
        static unsigned __stdcall Run(void* param) {
            Sleeper* p = static_cast<Sleeper*>(param);
            const auto lock = p->cs.lock();
            while (!p->quit) {
                ::InterlockedExchange(&p->asleep, 1);
                p->cs.wait(p->cv, INFINITE);
            }
            return 0;
        }
    } sl;
    lumlib::CWorkerThread sleeper;
    sleeper.Start(&Sleeper::Run, &sl);
    double wakeSum = 0;
    const int wakes = 500;
    for (int i = 0; i < wakes; ++i) {
        while (!::InterlockedCompareExchange(&sl.asleep, 0, 0)) ::Sleep(0);
        ::Sleep(1);  // surely asleep now
        {
            const auto lock = sl.cs.lock();
            sl.asleep = 0;
        }
        double w0 = NowUs();
        ::WakeConditionVariable(&sl.cv);
        wakeSum += NowUs() - w0;
    }
    {
        const auto lock = sl.cs.lock();
        sl.quit = 1;
    }
    ::WakeConditionVariable(&sl.cv);
    sleeper.Join();
    line("WakeConditionVariable, a thread asleep on it (waker's cost, mean)", wakeSum / wakes);
    CONDITION_VARIABLE idleCv = CONDITION_VARIABLE_INIT;
    line("WakeConditionVariable, nobody waiting", PerOpUs(n, [&] { ::WakeConditionVariable(&idleCv); }));
    return 0;
}
