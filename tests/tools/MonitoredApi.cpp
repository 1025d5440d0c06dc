// zksndapi_monitored.dll: the real zksndapi.dll beside it behind the same eight
// exports, with ZkSndVApiInit, ZkSndDeInit and ZkSndVCleanUp through the
// contract monitor. The tools' tests run zksndctl with --dll naming it; when it
// is unloaded, each rule the callbacks broke goes to stderr as
// "callback contract: ...", which fails the run that printed it.
#include <windows.h>

#include <string>

#include "support/ContractMonitor.h"

namespace {

template <class T>
T Real(const char* name) {
    static const HMODULE dll = ::LoadLibraryW(L"zksndapi.dll");  // from zksndctl's folder
    return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(dll, name)));
}

}  // namespace

// The library's lifecycle through the monitor (MonitoredApi.def forwards the other five exports).
extern "C" {
uint32_t ZkSndVApiInit(ZkSndNotifyCallback cb, void* context) {
    static zk_testkit::MonitoredInit init{Real<PFN_ZkSndVApiInit>("ZkSndVApiInit"), {}, {}};
    return init(cb, context);
}
uint32_t ZkSndDeInit(void) { return zk_testkit::MonitoredTeardown{Real<PFN_ZkSndVoid>("ZkSndDeInit")}(); }
uint32_t ZkSndVCleanUp(void) { return zk_testkit::MonitoredTeardown{Real<PFN_ZkSndVoid>("ZkSndVCleanUp")}(); }
}

// Unloaded (by zksndctl after its teardown, or at the process's end): no callback is running.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_DETACH) return TRUE;
    for (const std::string& broken : zk_testkit::Monitor().Reset()) {
        const std::string line = "callback contract: " + broken + "\n";
        DWORD written = 0;
        ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line.data(), DWORD(line.size()), &written, nullptr);
    }
    return TRUE;
}
