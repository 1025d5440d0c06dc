// The eight exports of zksndapi.dll and the start-up sequence behind them.
//
// Teardown and the calls in flight: every export that uses the client holds
// a rundown guard (CClientCall) for the length of the call. Teardown takes the
// client out of g_pClient, interrupts it (waiting requests end at once), waits
// until no call holds a guard, and only then stops and frees it. A teardown
// asked for from inside the callback cannot wait for the thread it runs on,
// so it is finished by a retirement thread of its own (ApiState.h), joined by
// the next teardown, the next client's keeper or the next lifecycle call of
// an application thread. An application thread's teardown wins over the
// callbacks: what they create meanwhile is refused.
#include <windows.h>
#include <shlobj.h>

#include <new>
#include <utility>

#include "log/ZkLogger.h"
#include "support/SecurityAttributes.h"
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
// Guards g_pClient, g_pLogger's exchange, the callback globals, each client's
// count of calls in flight and the two flags below.
SRWLOCK g_stateLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_callsDrained = CONDITION_VARIABLE_INIT;
// An application thread is tearing down: it wins over the callbacks. An Init
// from one creates nothing and returns 1, and a teardown from one is left to
// it (a ZkSndDeInit there takes the logger too).
bool g_appTeardown = false;
bool g_loggerAsked = false;

// The rundown guard of one export call.
class CClientCall {
public:
    CClientCall() {
        ::AcquireSRWLockExclusive(&g_stateLock);
        m_client = g_pClient;
        if (m_client != nullptr) ++m_client->CallsInFlight();
        ::ReleaseSRWLockExclusive(&g_stateLock);
    }
    ~CClientCall() {
        if (m_client == nullptr) return;
        ::AcquireSRWLockExclusive(&g_stateLock);
        if (--m_client->CallsInFlight() == 0) ::WakeAllConditionVariable(&g_callsDrained);
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
    // Inside the callback nothing is taken (see g_lifecycleLock).
    explicit CLifecycle(bool teardown) : m_nested(CSndApiPipeClient::InCallback()), m_teardown(teardown && !m_nested) {
        if (m_nested) return;
        ::AcquireSRWLockExclusive(&g_lifecycleLock);
        if (m_teardown) SetAppTeardown(true);
    }
    ~CLifecycle() {
        if (m_teardown) SetAppTeardown(false);
        if (!m_nested) ::ReleaseSRWLockExclusive(&g_lifecycleLock);
    }
    bool nested() const { return m_nested; }

private:
    static void SetAppTeardown(bool on) {
        ::AcquireSRWLockExclusive(&g_stateLock);
        g_appTeardown = on;
        g_loggerAsked = false;
        ::ReleaseSRWLockExclusive(&g_stateLock);
    }
    const bool m_nested;
    const bool m_teardown;
};

// True while an application thread tears down (see g_appTeardown).
bool AppTeardownUnderway() {
    ::AcquireSRWLockShared(&g_stateLock);
    const bool underway = g_appTeardown;
    ::ReleaseSRWLockShared(&g_stateLock);
    return underway;
}

// Installs a new logger or client unless an application thread's teardown
// began meanwhile (false: it is freed) or a callback on another thread
// installed one first (that one is kept and this one freed).
template <class T>
bool Publish(T*& slot, T* created) {
    ::AcquireSRWLockExclusive(&g_stateLock);
    const bool refused = g_appTeardown;
    if (!refused && slot == nullptr) std::swap(slot, created);
    ::ReleaseSRWLockExclusive(&g_stateLock);
    delete created;
    return !refused;
}

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

// Waits for the calls in flight on the client (only those: a call on a newer
// client may be waiting for this retirement), then stops and frees it
// (already interrupted: waiting requests have ended), then the logger, which
// the client logs to until it is gone.
void FinishTeardown(const Teardown& t) {
    if (t.client != nullptr) {
        ::AcquireSRWLockExclusive(&g_stateLock);
        while (t.client->CallsInFlight() != 0) ::SleepConditionVariableSRW(&g_callsDrained, &g_stateLock, INFINITE, 0);
        ::ReleaseSRWLockExclusive(&g_stateLock);
        t.client->Stop();
        delete t.client;
    }
    delete t.logger;
}

unsigned __stdcall RetirementThread(void* param) {
    Teardown* t = static_cast<Teardown*>(param);
    FinishTeardown(*t);
    delete t;
    return 0;
}

// On a callback's thread: the client's Stop would wait for this very thread,
// so a retirement thread finishes the teardown once the callback has
// returned. Taking, interrupting (no callback starts after it) and handing
// off happen under the state lock, so an application thread's teardown either
// finds the retirement to join or finds its flag raised here.
void TearDownInCallback(bool withLogger) {
    JoinRetirements(false);  // the ones that have ended
    ::AcquireSRWLockExclusive(&g_stateLock);
    // During an application thread's teardown the logger is left to it: its
    // client still logs. The client may be taken: it joins the retirement.
    const bool takeLogger = withLogger && !g_appTeardown;
    if (g_appTeardown) g_loggerAsked = g_loggerAsked || withLogger;
    Teardown t{g_pClient, takeLogger ? g_pLogger : nullptr};
    g_pClient = nullptr;
    if (takeLogger) g_pLogger = nullptr;
    if (t.client == nullptr && t.logger == nullptr) return ::ReleaseSRWLockExclusive(&g_stateLock);
    if (t.client != nullptr) t.client->Interrupt();
    Teardown* handed = new (std::nothrow) Teardown(t);
    const bool started = handed != nullptr && StartRetirement(&RetirementThread, handed);
    ::ReleaseSRWLockExclusive(&g_stateLock);
    if (started) return;
    delete handed;
    // No thread for it: leave the client stopped-but-alive rather than wait
    // for this thread. Its callbacks have ended; memory is all that is lost.
    LogPrint(t.logger != nullptr ? t.logger : g_pLogger, LOG_ERROR,
             L"sndapi: ZkSndApi::TearDown: (%u): no thread to finish the teardown asked for from the callback.", __LINE__);
}

// On an application thread: the flag goes up, the client comes out, then the
// retirements are joined (their callbacks may still call in), then the client
// is finished.
void TearDown(bool withLogger) {
    if (CSndApiPipeClient::InCallback()) return TearDownInCallback(withLogger);
    CLifecycle lifecycle(true);
    Teardown t{TakeClient(), nullptr};
    if (t.client != nullptr) t.client->Interrupt();
    JoinRetirements(true);
    FinishTeardown(t);
    // The logger goes after the client; also when a callback asked for it meanwhile.
    ::AcquireSRWLockExclusive(&g_stateLock);
    if (withLogger || g_loggerAsked) {
        t.logger = g_pLogger;
        g_pLogger = nullptr;
    }
    ::ReleaseSRWLockExclusive(&g_stateLock);
    delete t.logger;
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
    CLifecycle lifecycle(false);
    if (!lifecycle.nested()) JoinRetirements(true);
    ::AcquireSRWLockExclusive(&g_stateLock);
    g_pfnCallback = callback;
    g_pCallbackContext = context;
    ::ReleaseSRWLockExclusive(&g_stateLock);
    // From a callback during an application thread's teardown: nothing is
    // created (checked again when something would be published).
    if (AppTeardownUnderway()) return 1;

    if (g_pLogger == nullptr) {
        CZkLogger* logger = CreateLogger();
        if (logger == nullptr) return 1;
        if (!Publish(g_pLogger, logger)) return 1;
    }

    if (g_pClient == nullptr) {
        // A worker thread, event or mutex that cannot be created fails the call;
        // the record goes with the client whether or not it could be built.
        CSndApiPipeClient* client = nullptr;
        lumlib::CatchReturn([&] { client = new CSndApiPipeClient(CreatePipeSecurity()); });
        if (client == nullptr) return 1;
        PinModule();
        if (!Publish(g_pClient, client)) return 1;
    }

    CClientCall call;
    if (!call) return 1;
    // The arguments, not the globals: an Init on another thread may be changing them.
    if (callback != nullptr) call->SetCallback(callback, context);
    return call->Start() == 0 ? 0 : 1;
}

uint32_t ZkSndVCleanUp(void) {
    TearDown(false);
    ::AcquireSRWLockExclusive(&g_stateLock);
    g_pfnCallback = nullptr;
    g_pCallbackContext = nullptr;
    ::ReleaseSRWLockExclusive(&g_stateLock);
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
