#include "virt/api/ApiState.h"

#include <windows.h>

#include <iterator>
#include <list>

#include "support/WorkerThread.h"
#include "support/lumlib.h"

CZkLogger* g_pLogger = nullptr;
CSndApiPipeClient* g_pClient = nullptr;
ZkSndNotifyCallback g_pfnCallback = nullptr;
void* g_pCallbackContext = nullptr;

namespace {

SRWLOCK g_retirementLock = SRWLOCK_INIT;
// On the heap and never freed: nothing may be joined at unload, under the
// loader lock (the module is pinned once a client exists).
std::list<lumlib::CWorkerThread>* g_retirements = nullptr;
volatile LONG g_unjoined = 0;  // started and not yet joined, also while being joined

}  // namespace

bool StartRetirement(unsigned(__stdcall* routine)(void*), void* param) {
    ::AcquireSRWLockExclusive(&g_retirementLock);
    if (g_retirements == nullptr) g_retirements = new (std::nothrow) std::list<lumlib::CWorkerThread>();
    const DWORD started = g_retirements == nullptr ? ERROR_NOT_ENOUGH_MEMORY : lumlib::CatchReturn([&] {
        g_retirements->emplace_back();
        const DWORD error = g_retirements->back().Start(routine, param);
        if (error != ERROR_SUCCESS) g_retirements->pop_back();
        return error;
    });
    if (started == ERROR_SUCCESS) ::InterlockedIncrement(&g_unjoined);
    ::ReleaseSRWLockExclusive(&g_retirementLock);
    return started == ERROR_SUCCESS;
}

bool JoinRetirements(bool wait) {
    std::list<lumlib::CWorkerThread> taken;
    ::AcquireSRWLockExclusive(&g_retirementLock);
    if (g_retirements != nullptr) {
        for (auto it = g_retirements->begin(); it != g_retirements->end();) {
            auto next = std::next(it);
            if (wait || it->HasEnded()) taken.splice(taken.end(), *g_retirements, it);
            it = next;
        }
    }
    ::ReleaseSRWLockExclusive(&g_retirementLock);
    const LONG joined = static_cast<LONG>(taken.size());
    taken.clear();  // joins, outside the lock: a retirement's client may reach it meanwhile
    return ::InterlockedAdd(&g_unjoined, -joined) == 0;
}
