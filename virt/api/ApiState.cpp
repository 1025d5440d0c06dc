#include "virt/api/ApiState.h"

#include <windows.h>

#include <atomic>
#include <iterator>
#include <list>

#include "support/WorkerThread.h"
#include "support/lumlib.h"

std::atomic<CSndApiPipeClient*> g_pClient{nullptr};
ZkSndNotifyCallback g_pfnCallback = nullptr;
void* g_pCallbackContext = nullptr;

namespace {

lumlib::srw_lock g_retirementLock;
// On the heap and never freed: nothing may be joined at unload, under the
// loader lock (the module is pinned once a client exists).
std::list<lumlib::CWorkerThread>* g_retirements = nullptr;
std::atomic<long> g_unjoined{0};  // started and not yet joined, also while being joined

}  // namespace

namespace {

// Constant-initialised (no guard, no allocation) and never destroyed: nothing
// is torn down at unload, under the loader lock.
union LoggerShareSlot {
    std::shared_ptr<CZkLogger> share;
    constexpr LoggerShareSlot() : share() {}
    ~LoggerShareSlot() {}
};
LoggerShareSlot g_loggerShare;

}  // namespace

std::shared_ptr<CZkLogger>& LoggerShare() { return g_loggerShare.share; }

bool StartRetirement(unsigned(__stdcall* routine)(void*), void* param) {
    const auto lock = g_retirementLock.lock_exclusive();
    if (g_retirements == nullptr) g_retirements = new (std::nothrow) std::list<lumlib::CWorkerThread>();
    const DWORD started = g_retirements == nullptr ? ERROR_NOT_ENOUGH_MEMORY : lumlib::CatchReturn([&] {
        g_retirements->emplace_back();
        const DWORD error = g_retirements->back().Start(routine, param);
        if (error != ERROR_SUCCESS) g_retirements->pop_back();
        return error;
    });
    if (started == ERROR_SUCCESS) ++g_unjoined;
    return started == ERROR_SUCCESS;
}

bool JoinRetirements(bool wait) {
    std::list<lumlib::CWorkerThread> taken;
    auto lock = g_retirementLock.lock_exclusive();
    if (g_retirements != nullptr) {
        for (auto it = g_retirements->begin(); it != g_retirements->end();) {
            auto next = std::next(it);
            if (wait || it->HasEnded()) taken.splice(taken.end(), *g_retirements, it);
            it = next;
        }
    }
    lock.reset();
    const long joined = static_cast<long>(taken.size());
    taken.clear();  // joins, outside the lock: a retirement's client may reach it meanwhile
    return (g_unjoined -= joined) == 0;
}
