// The eight exports of zksndapi.dll and the start-up sequence behind them.
//
// Teardown and the calls in flight: every export that uses the client holds
// a rundown guard (CClientCall) for the length of the call. Teardown takes the
// client out of g_pClient, interrupts it (waiting requests end at once), waits
// until no call holds a guard, and only then stops and frees it. A teardown
// asked for from inside the callback cannot wait for the thread it runs on,
// so it is finished by a short-lived thread of its own.
#include <windows.h>
#include <shlobj.h>

#include <list>
#include <new>

#include "log/ZkLogger.h"
#include "support/SecurityAttributes.h"
#include "support/WorkerThread.h"
#include "virt/api/ApiState.h"
#include "virt/api/SndApiPipeClient.h"
#include "virt/api/SndCodes.h"
#include "virt/api/zksndapi.h"

// The portable status table and the public header agree.
static_assert(kSndStatusOk == ZKSND_STATUS_OK && kSndStatusFailed == ZKSND_STATUS_FAILED &&
                  kSndStatusNoMemory == ZKSND_STATUS_NO_MEMORY && kSndStatusBufferTooSmall == ZKSND_STATUS_BUFFER_TOO_SMALL &&
                  kSndStatusInvalidParameter == ZKSND_STATUS_INVALID_PARAMETER &&
                  kSndStatusNotFound == ZKSND_STATUS_NOT_FOUND && kSndStatusNotReady == ZKSND_STATUS_NOT_READY &&
                  kSndStatusAlreadyExists == ZKSND_STATUS_ALREADY_EXISTS &&
                  kSndStatusAccessDenied == ZKSND_STATUS_ACCESS_DENIED && kSndStatusService10 == ZKSND_STATUS_SERVICE_10 &&
                  kSndStatusService11 == ZKSND_STATUS_SERVICE_11 && kSndStatusNotConnected == ZKSND_STATUS_NOT_CONNECTED,
              "SndStatus and ZKSND_STATUS_* differ");

namespace {

const DWORD kTokenRead = TOKEN_READ;  // 0x20008
const wchar_t* const kLogFolderParts[] = {L"\\", L"Zelkor", L"\\", L"Tessaline Server", L"\\"};

// Serialises Init, CleanUp and DeInit of application threads. Calls made from
// inside the callback never take it: the thread that holds it may be waiting
// for the callback's thread.
SRWLOCK g_lifecycleLock = SRWLOCK_INIT;
// Guards g_pClient, g_pLogger's exchange and the count of calls in flight.
SRWLOCK g_stateLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_callsDrained = CONDITION_VARIABLE_INIT;
LONG g_callsInFlight = 0;

// Teardowns finished off the callback's thread; joined by the next lifecycle
// call of an application thread. On the heap and never freed: nothing may be
// joined at unload, under the loader lock.
std::list<lumlib::CWorkerThread>* g_teardowns = nullptr;

// The rundown guard of one export call.
class CClientCall {
public:
    CClientCall() {
        ::AcquireSRWLockExclusive(&g_stateLock);
        m_client = g_pClient;
        if (m_client != nullptr) ++g_callsInFlight;
        ::ReleaseSRWLockExclusive(&g_stateLock);
    }
    ~CClientCall() {
        if (m_client == nullptr) return;
        ::AcquireSRWLockExclusive(&g_stateLock);
        if (--g_callsInFlight == 0) ::WakeAllConditionVariable(&g_callsDrained);
        ::ReleaseSRWLockExclusive(&g_stateLock);
    }
    CClientCall(const CClientCall&) = delete;
    CClientCall& operator=(const CClientCall&) = delete;
    CSndApiPipeClient* operator->() const { return m_client; }
    explicit operator bool() const { return m_client != nullptr; }

private:
    CSndApiPipeClient* m_client;
};

class CLifecycle {
public:
    // Inside the callback nothing is taken or joined (see g_lifecycleLock).
    CLifecycle() : m_nested(CSndApiPipeClient::InCallback()) {
        if (m_nested) return;
        ::AcquireSRWLockExclusive(&g_lifecycleLock);
        // Earlier teardowns handed off by callbacks end once their callbacks
        // have returned; they are over before this call goes on.
        std::list<lumlib::CWorkerThread> earlier;
        ::AcquireSRWLockExclusive(&g_stateLock);
        if (g_teardowns != nullptr) earlier.swap(*g_teardowns);
        ::ReleaseSRWLockExclusive(&g_stateLock);
    }  // joined here, without the state lock
    ~CLifecycle() {
        if (!m_nested) ::ReleaseSRWLockExclusive(&g_lifecycleLock);
    }
    bool nested() const { return m_nested; }

private:
    const bool m_nested;
};

CSndApiPipeClient* TakeClient() {
    ::AcquireSRWLockExclusive(&g_stateLock);
    CSndApiPipeClient* client = g_pClient;
    g_pClient = nullptr;
    ::ReleaseSRWLockExclusive(&g_stateLock);
    return client;
}

struct Teardown {
    CSndApiPipeClient* client;
    CZkLogger* logger;  // null unless the logger goes too
};

// Interrupt first (waiting requests end at once), then wait for the calls in
// flight, then free: no export touches the client after it is gone.
void FinishTeardown(const Teardown& t) {
    if (t.client != nullptr) {
        ::AcquireSRWLockExclusive(&g_stateLock);
        while (g_callsInFlight != 0) ::SleepConditionVariableSRW(&g_callsDrained, &g_stateLock, INFINITE, 0);
        ::ReleaseSRWLockExclusive(&g_stateLock);
        t.client->Stop();
        delete t.client;
    }
    delete t.logger;  // after the client, which logs to it until it is gone
}

unsigned __stdcall TeardownThread(void* param) {
    Teardown* t = static_cast<Teardown*>(param);
    FinishTeardown(*t);
    delete t;
    return 0;
}

void TearDown(bool withLogger) {
    CLifecycle lifecycle;
    Teardown t{TakeClient(), nullptr};
    if (t.client != nullptr) t.client->Interrupt();
    if (withLogger) {
        ::AcquireSRWLockExclusive(&g_stateLock);
        t.logger = g_pLogger;
        g_pLogger = nullptr;
        ::ReleaseSRWLockExclusive(&g_stateLock);
    }
    if (!lifecycle.nested()) return FinishTeardown(t);

    // On a callback's thread: the client's Stop would wait for this very
    // thread, so a thread of its own finishes the teardown once the callback
    // has returned. The callbacks have already ended (Interrupt).
    Teardown* handed = new (std::nothrow) Teardown(t);
    if (handed != nullptr) {
        ::AcquireSRWLockExclusive(&g_stateLock);
        if (g_teardowns == nullptr) g_teardowns = new (std::nothrow) std::list<lumlib::CWorkerThread>();
        const DWORD started = g_teardowns == nullptr ? ERROR_NOT_ENOUGH_MEMORY : lumlib::CatchReturn([&] {
            g_teardowns->emplace_back();
            return g_teardowns->back().Start(&TeardownThread, handed);
        });
        ::ReleaseSRWLockExclusive(&g_stateLock);
        if (started == ERROR_SUCCESS) return;
        delete handed;
    }
    // No thread for it: leave the client stopped-but-alive rather than wait
    // for this thread. Its callbacks have ended; memory is all that is lost.
    LogPrint(t.logger != nullptr ? t.logger : g_pLogger, LOG_ERROR,
             L"sndapi: ZkSndApi::TearDown: (%u): no thread to finish the teardown asked for from the callback.", __LINE__);
}

// The DLL stays loaded once a client has existed: a FreeLibrary without
// ZkSndDeInit would otherwise unload the code its threads are running.
void PinModule() {
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&PinModule), &self);
}

// The machine-wide application-data folder followed by \Zelkor\Tessaline Server\,
// or an empty string when the token or the folder cannot be had.
void BuildLogFolder(wchar_t (&folder)[MAX_PATH]) {
    ZeroMemory(folder, sizeof(folder));
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), kTokenRead, &token)) return;
    CHandleHolder tokenHolder(token);
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, token, 0, folder))) {
        folder[0] = L'\0';
        return;
    }
    for (const wchar_t* part : kLogFolderParts) {
        size_t used = wcslen(folder);
        if (used + 1 < MAX_PATH) wcsncat(folder, part, MAX_PATH - 1 - used);
    }
}

// Logger start-up; null when it cannot be created or started.
CZkLogger* CreateLogger() {
    wchar_t folder[MAX_PATH];
    BuildLogFolder(folder);
    CZkLogger* logger = CZkLogger::New(folder);
    if (logger == nullptr) return nullptr;
    if (!logger->InitWorkPool()) {
        delete logger;
        return nullptr;
    }
    logger->SetAsyncWrite(1);
    logger->SetFormatFlags(kLogDefaultFormat);
    logger->BuildHeader();
    logger->AddFileBuffer();
    logger->OpenSettingsKey();
    return logger;
}

// The pipe's security record, or null: without it the pipe handle still gets
// default security and is not inheritable, which is all the record decides for
// a pipe that the service creates.
std::unique_ptr<CPipeSecurity> CreatePipeSecurity() {
    std::unique_ptr<CPipeSecurity> sa(new (std::nothrow) CPipeSecurity());
    if (sa != nullptr && sa->Build()) return sa;
    LogPrint(g_pLogger, LOG_ERROR,
             L"sndapi: ZkSndApi::ZkSndVApiInit: (%u): the pipe's security attributes cannot be built (error %u); the pipe is opened with default security.",
             __LINE__, ::GetLastError());
    return nullptr;
}

}  // namespace

extern "C" {

uint32_t ZkSndVApiInit(ZkSndNotifyCallback callback, void* context) {
    CLifecycle lifecycle;
    g_pfnCallback = callback;
    g_pCallbackContext = context;

    if (g_pLogger == nullptr) {
        CZkLogger* logger = CreateLogger();
        if (logger == nullptr) return 1;
        ::AcquireSRWLockExclusive(&g_stateLock);
        g_pLogger = logger;
        ::ReleaseSRWLockExclusive(&g_stateLock);
    }

    if (g_pClient == nullptr) {
        // A worker thread, event or mutex that cannot be created fails the call;
        // the record goes with the client whether or not it could be built.
        CSndApiPipeClient* client = nullptr;
        lumlib::CatchReturn([&] { client = new CSndApiPipeClient(CreatePipeSecurity()); });
        if (client == nullptr) return 1;
        PinModule();
        ::AcquireSRWLockExclusive(&g_stateLock);
        g_pClient = client;
        ::ReleaseSRWLockExclusive(&g_stateLock);
    }

    CClientCall call;
    if (!call) return 1;
    if (g_pfnCallback != nullptr) call->SetCallback(g_pfnCallback, g_pCallbackContext);
    return call->Start() == 0 ? 0 : 1;
}

uint32_t ZkSndVCleanUp(void) {
    TearDown(false);
    g_pfnCallback = nullptr;
    g_pCallbackContext = nullptr;
    return 0;
}

uint32_t ZkSndDeInit(void) {
    TearDown(true);
    return 0;
}

uint32_t ZkSndVGetDeviceList(void) {
    CClientCall call;
    if (!call) return ZKSND_STATUS_FAILED;
    return call->ApiGetDeviceList();
}

uint32_t ZkSndSetDefault(uint32_t device) {
    CClientCall call;
    if (!call) return ZKSND_STATUS_FAILED;
    return call->ApiSetDefaultDevice(device);
}

uint32_t ZkSndGetSettings(SndSettings* settings) {
    CClientCall call;
    if (!call) return ZKSND_STATUS_FAILED;
    if (settings == nullptr) return ZKSND_STATUS_INVALID_PARAMETER;
    return call->GetSettings(settings);
}

uint32_t ZkSndSetSettings(const SndSettings* settings) {
    CClientCall call;
    if (!call) return ZKSND_STATUS_FAILED;
    if (settings == nullptr) return ZKSND_STATUS_INVALID_PARAMETER;
    return call->SetSettings(settings);
}

uint32_t ZkConfigIsLocked(void) { return 1; }

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
