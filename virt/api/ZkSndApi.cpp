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

#include <atomic>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
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
lumlib::srw_lock g_lifecycleLock;
// Guards the changes of g_pClient and the logger's share, the callback
// globals, the two flags and the orphans below; teardowns wait under it for
// a client's calls to drain.
lumlib::srw_lock g_stateLock;
CONDITION_VARIABLE g_callsDrained = CONDITION_VARIABLE_INIT;
// Teardowns waiting on g_callsDrained: a call's end wakes only when one
// waits (a wake with nobody waiting still costs every call a lock).
std::atomic<uint32_t> g_drainWaiters{0};
// Calls between reading g_pClient and counting themselves on it, by the
// parity of their epoch: each take of the client starts the next epoch (under
// the state lock), and its teardown waits only for the calls of the epoch
// before, which may have read the client. A call whose epoch ended while it
// read the slot reads it again in the new one. Threads calling without pause
// therefore cannot hold a teardown up, as they could while one count served
// every epoch.
std::atomic<uint32_t> g_entryEpoch{0};
std::atomic<uint32_t> g_callsEntering[2] = {};
// An application thread is tearing down: it wins over the callbacks. An Init
// from one creates nothing and returns 1, and a teardown from one is left to
// it (a ZkSndDeInit there takes the logger too).
bool g_appTeardown = false;
bool g_loggerAsked = false;

// What a teardown takes out of the globals: the client, and the library's
// share of the logger when the logger goes too.
struct Teardown {
    std::unique_ptr<CSndApiPipeClient> client;
    uint32_t entryEpoch = 0;  // the epoch the take ended: its calls are waited for
    std::shared_ptr<CZkLogger> logger;
    Teardown* next = nullptr;  // on the orphans' list
};
// Teardowns asked for inside a callback that found no retirement thread:
// the next lifecycle call of an application thread finishes them.
Teardown* g_orphans = nullptr;

// The rundown guard of one export call. Lock-free: every call of every
// export takes one, and a teardown is rare (FinishTeardown waits).
class CClientCall {
public:
    CClientCall() {
        for (;;) {
            const uint32_t epoch = g_entryEpoch.load();
            ++g_callsEntering[epoch & 1];
            m_client = g_pClient.load();
            // Still that epoch: no take came between, and the take to come waits for this count.
            const bool counted = g_entryEpoch.load() == epoch;
            if (counted && m_client != nullptr) ++m_client->CallsInFlight();
            --g_callsEntering[epoch & 1];
            if (counted) break;
        }
    }
    ~CClientCall() {
        if (m_client == nullptr) return;
        // The client may be freed as soon as its count reaches 0: not touched after.
        if (--m_client->CallsInFlight() != 0 || g_drainWaiters.load() == 0) return;
        // Taken and let go: the waiter, which read the count under it, sleeps by now.
        { const auto lock = g_stateLock.lock_exclusive(); }
        ::WakeAllConditionVariable(&g_callsDrained);
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
        m_held.emplace(g_lifecycleLock.lock_exclusive());
        if (m_teardown) SetAppTeardown(true);
    }
    ~CLifecycle() {
        if (m_teardown) SetAppTeardown(false);
    }
    bool nested() const { return m_nested; }

private:
    static void SetAppTeardown(bool on) {
        const auto lock = g_stateLock.lock_exclusive();
        g_appTeardown = on;
        g_loggerAsked = false;
    }
    const bool m_nested;
    const bool m_teardown;
    std::optional<lumlib::srw_guard> m_held;  // g_lifecycleLock, unless nested
};

// True while an application thread tears down (see g_appTeardown).
bool AppTeardownUnderway() {
    const auto lock = g_stateLock.lock_shared();
    return g_appTeardown;
}

// Installs the new logger unless an application thread's teardown began
// meanwhile (false) or a callback on another thread installed one first
// (that one is kept). What is not installed is freed outside the lock.
bool PublishLogger(std::unique_ptr<CZkLogger> created) {
    std::shared_ptr<CZkLogger> share(std::move(created));
    auto lock = g_stateLock.lock_exclusive();
    const bool refused = g_appTeardown;
    if (!refused && LoggerShare() == nullptr) LoggerShare() = std::move(share);
    lock.reset();
    return !refused;
}

// Installs the new client unless an application thread's teardown began
// meanwhile, or the logger it was given was taken meanwhile or before it was
// given (a teardown inside a callback on another thread: false), or a callback
// installed one first (that one is kept). What is not installed is freed
// outside the lock.
bool PublishClient(std::unique_ptr<CSndApiPipeClient> created, const CZkLogger* logger) {
    auto lock = g_stateLock.lock_exclusive();
    const bool refused = g_appTeardown || logger == nullptr || LoggerShare().get() != logger;
    if (!refused && g_pClient.load() == nullptr) g_pClient = created.release();
    lock.reset();
    return !refused;
}

// Takes the client out of its slot into an owner; under g_stateLock.
void TakeClientLocked(Teardown& t) {
    t.client.reset(g_pClient.load());
    g_pClient = nullptr;
    t.entryEpoch = g_entryEpoch.fetch_add(1);
}

void TakeClient(Teardown& t) {
    const auto lock = g_stateLock.lock_exclusive();
    TakeClientLocked(t);
}

// Waits for the calls in flight on the client (only those: a call on a newer
// client may be waiting for this retirement), then stops and frees it
// (already interrupted: waiting requests have ended), then lets the library's
// share of the logger go (the logger goes with the last client's share).
void FinishTeardown(Teardown& t) {
    if (t.client != nullptr) {
        // A call that read the slot before the client was taken counts
        // itself within a few instructions (a millisecond also lets one run
        // that was preempted there); calls of later epochs are not waited for.
        while (g_callsEntering[t.entryEpoch & 1].load() != 0) ::Sleep(1);
        {
            const auto lock = g_stateLock.lock_exclusive();
            // Announced before the count is read: a call that ends after
            // the read sees a waiter and wakes it.
            ++g_drainWaiters;
            while (t.client->CallsInFlight().load() != 0) g_stateLock.wait(g_callsDrained, INFINITE);
            --g_drainWaiters;
        }
        t.client->Stop();
        t.client.reset();
    }
    t.logger.reset();
}

unsigned __stdcall RetirementThread(void* param) {
    std::unique_ptr<Teardown> t(static_cast<Teardown*>(param));
    // The thread's error boundary: the owners free what is left either way.
    lumlib::CatchReturn([&] { FinishTeardown(*t); });
    return 0;
}

// On a callback's thread: the client's Stop would wait for this very thread,
// so a retirement thread finishes the teardown once the callback has
// returned. Taking, interrupting (no callback starts after it) and handing
// off happen under the state lock, so an application thread's teardown either
// finds the retirement to join or finds its flag raised here.
void TearDownInCallback(bool withLogger) {
    JoinRetirements(false);  // the ones that have ended
    auto lock = g_stateLock.lock_exclusive();
    // During an application thread's teardown the logger is left to it: its
    // client still logs. The client may be taken: it joins the retirement.
    const bool takeLogger = withLogger && !g_appTeardown;
    if (g_appTeardown) g_loggerAsked = g_loggerAsked || withLogger;
    Teardown t;
    TakeClientLocked(t);
    if (takeLogger) t.logger = std::move(LoggerShare());
    if (t.client == nullptr && t.logger == nullptr) return;
    if (t.client != nullptr) t.client->Interrupt();
    std::unique_ptr<Teardown> handed(new (std::nothrow) Teardown(std::move(t)));
    if (handed != nullptr && StartRetirement(&RetirementThread, handed.get())) {
        static_cast<void>(handed.release());  // the retirement thread owns it now
        return;
    }
    // No thread for it: this thread cannot wait for itself, so the next
    // lifecycle call of an application thread finishes it. Its connection
    // ends now all the same: the service sees the client go, and a client an
    // Init makes next is not connected beside it. Told under the lock, while
    // what it logs to cannot go.
    CSndApiPipeClient* const orphan = handed != nullptr ? handed->client.get() : t.client.get();
    if (orphan != nullptr) orphan->DropConnection();
    const std::shared_ptr<CZkLogger>& logger = handed != nullptr ? handed->logger : t.logger;
    LogPrint((logger != nullptr ? logger : LoggerShare()).get(), LOG_ERROR,
             L"sndapi: ZkSndApi::TearDown: (%u): no thread to finish the teardown asked for from the callback; "
             L"the application's next call finishes it.", __LINE__);
    if (handed != nullptr) {
        handed->next = g_orphans;
        g_orphans = handed.release();
        return;
    }
    // Not even memory to note it: the client is left interrupted, with its
    // share of the logger, rather than freed while it may still log.
    static_cast<void>(t.client.release());
}

// On an application thread: the teardowns left by callbacks that had no
// retirement thread.
void FinishOrphans() {
    Teardown* orphans = nullptr;
    {
        const auto lock = g_stateLock.lock_exclusive();
        std::swap(orphans, g_orphans);
    }
    while (orphans != nullptr) {
        std::unique_ptr<Teardown> t(orphans);
        orphans = t->next;
        lumlib::CatchReturn([&] { FinishTeardown(*t); });
    }
}

// On an application thread: the flag goes up, the client comes out, then the
// retirements are joined (their callbacks may still call in), then the client
// is finished.
void TearDown(bool withLogger) {
    if (CSndApiPipeClient::InCallback()) return TearDownInCallback(withLogger);
    CLifecycle lifecycle(true);
    Teardown t;
    TakeClient(t);
    if (t.client != nullptr) t.client->Interrupt();
    JoinRetirements(true);
    FinishOrphans();
    FinishTeardown(t);
    // The logger goes after the client; also when a callback asked for it meanwhile.
    auto lock = g_stateLock.lock_exclusive();
    if (withLogger || g_loggerAsked) t.logger = std::move(LoggerShare());
    lock.reset();
    t.logger.reset();
}

// The DLL stays loaded once a logger has existed: a FreeLibrary without
// ZkSndDeInit would otherwise unload the code its threads and its clients' are running.
bool PinModule() {
    HMODULE self = nullptr;
    return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                reinterpret_cast<LPCWSTR>(&PinModule), &self) != FALSE;
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
std::unique_ptr<CZkLogger> CreateLogger() {
    wchar_t folder[MAX_PATH];
    BuildLogFolder(folder);
    std::unique_ptr<CZkLogger> logger(CZkLogger::New(folder));
    if (logger == nullptr) return nullptr;
    logger->SetFolderResolver(&BuildLogFolder);  // no folder yet: asked again, never the current directory
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
std::unique_ptr<CPipeSecurity> CreatePipeSecurity(CZkLogger* logger) {
    std::unique_ptr<CPipeSecurity> sa(new (std::nothrow) CPipeSecurity());
    if (sa != nullptr && sa->Build()) return sa;
    // The client's own share: the library's may be taken meanwhile by a callback's teardown.
    LogPrint(logger, LOG_ERROR,
             L"sndapi: ZkSndApi::ZkSndVApiInit: (%u): the pipe's security attributes cannot be built (error %u); the pipe is opened with default security.",
             __LINE__, ::GetLastError());
    return nullptr;
}

// The exports' error boundary: nothing raised inside the library leaves an
// export (an exception through an extern "C" frame would end the caller).
// What was raised becomes the export's failure status (noMemory for no
// memory); the holders on the way out have released every lock and object.
template <typename F>
uint32_t Guarded(uint32_t failed, uint32_t noMemory, F&& body) noexcept {
    uint32_t status = failed;
    const uint32_t raised = lumlib::CatchReturn([&] { status = body(); });
    if (raised == ERROR_SUCCESS) return status;
    return raised == ERROR_NOT_ENOUGH_MEMORY ? noMemory : failed;
}

uint32_t ApiInit(ZkSndNotifyCallback callback, void* context) {
    CLifecycle lifecycle(false);
    if (!lifecycle.nested()) {
        JoinRetirements(true);
        FinishOrphans();
    }
    {
        const auto lock = g_stateLock.lock_exclusive();
        g_pfnCallback = callback;
        g_pCallbackContext = context;
    }
    // From a callback during an application thread's teardown: nothing is
    // created (checked again when something would be published).
    if (AppTeardownUnderway()) return 1;

    bool loggerMissing = false;
    {
        const auto lock = g_stateLock.lock_shared();  // a callback's teardown may be taking it
        loggerMissing = LoggerShare() == nullptr;
    }
    if (loggerMissing) {
        // The logger's threads run the library's code: the library stays loaded from now on,
        // or nothing is started (unpinned, a FreeLibrary would unload code they run).
        if (!PinModule()) return 1;
        std::unique_ptr<CZkLogger> logger;
        // Raised while the logger was made: no logger, as when it cannot start.
        lumlib::CatchReturn([&] { logger = CreateLogger(); });
        if (logger == nullptr) return 1;
        if (!PublishLogger(std::move(logger))) return 1;
    }

    if (g_pClient == nullptr) {
        // A worker thread, event or mutex that cannot be created fails the call;
        // the record goes with the client whether or not it could be built.
        // The client holds a share of the logger published above (read under
        // the lock: a callback's teardown may take the library's share), and
        // holds its attempts back while a retirement thread is still
        // finishing an older client.
        SndClientSetup setup;
        {
            const auto lock = g_stateLock.lock_shared();
            setup.logger = LoggerShare();
        }
        setup.mayConnect = [] { return JoinRetirements(false); };
        std::unique_ptr<CSndApiPipeClient> client;
        lumlib::CatchReturn([&] { client.reset(new CSndApiPipeClient(CreatePipeSecurity(setup.logger.get()), setup)); });
        // What a teardown signals exists before a teardown can find the client.
        if (client == nullptr || client->Prepare() != 0) return 1;
        if (!PublishClient(std::move(client), setup.logger.get())) return 1;
    }

    CClientCall call;
    if (!call) return 1;
    // The arguments, not the globals: an Init on another thread may be changing them.
    if (callback != nullptr) call->SetCallback(callback, context);
    return call->Start() == 0 ? 0 : 1;
}

}  // namespace

extern "C" {

uint32_t ZkSndVApiInit(ZkSndNotifyCallback callback, void* context) {
    return Guarded(ZKSND_STATUS_FAILED, ZKSND_STATUS_FAILED, [&] { return ApiInit(callback, context); });
}

uint32_t ZkSndVCleanUp(void) {
    // A teardown that raised part way has still taken the client out: 0, as documented.
    Guarded(0, 0, [] {
        TearDown(false);
        return 0u;
    });
    const auto lock = g_stateLock.lock_exclusive();
    g_pfnCallback = nullptr;
    g_pCallbackContext = nullptr;
    return 0;
}

uint32_t ZkSndDeInit(void) {
    Guarded(0, 0, [] {
        TearDown(true);
        return 0u;
    });
    return 0;
}

uint32_t ZkSndVGetDeviceList(void) {
    return Guarded(ZKSND_STATUS_FAILED, ZKSND_STATUS_NO_MEMORY, [] {
        CClientCall call;
        return call ? call->ApiGetDeviceList() : static_cast<uint32_t>(ZKSND_STATUS_FAILED);
    });
}

uint32_t ZkSndSetDefault(uint32_t device) {
    return Guarded(ZKSND_STATUS_FAILED, ZKSND_STATUS_NO_MEMORY, [&] {
        CClientCall call;
        return call ? call->ApiSetDefaultDevice(device) : static_cast<uint32_t>(ZKSND_STATUS_FAILED);
    });
}

uint32_t ZkSndGetSettings(SndSettings* settings) {
    return Guarded(ZKSND_STATUS_FAILED, ZKSND_STATUS_NO_MEMORY, [&] {
        CClientCall call;
        if (!call) return static_cast<uint32_t>(ZKSND_STATUS_FAILED);
        if (settings == nullptr) return static_cast<uint32_t>(ZKSND_STATUS_INVALID_PARAMETER);
        return call->GetSettings(settings);
    });
}

uint32_t ZkSndSetSettings(const SndSettings* settings) {
    return Guarded(ZKSND_STATUS_FAILED, ZKSND_STATUS_NO_MEMORY, [&] {
        CClientCall call;
        if (!call) return static_cast<uint32_t>(ZKSND_STATUS_FAILED);
        if (settings == nullptr) return static_cast<uint32_t>(ZKSND_STATUS_INVALID_PARAMETER);
        return call->SetSettings(settings);
    });
}

uint32_t ZkConfigIsLocked(void) { return 1; }

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
