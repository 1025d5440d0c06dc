// The eight exports of zksndapi.dll and the start-up sequence behind them.
#include <windows.h>
#include <shlobj.h>

#include <new>

#include "log/ZkLogger.h"
#include "support/SecurityAttributes.h"
#include "virt/api/ApiState.h"
#include "virt/api/SndApiPipeClient.h"
#include "virt/api/zksndapi.h"

namespace {

const DWORD kTokenRead = TOKEN_READ;  // 0x20008
const wchar_t* const kLogFolderParts[] = {L"\\", L"Zelkor", L"\\", L"Tessaline Server", L"\\"};

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
    logger->SetFormatFlags(0x804F);
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
    if (sa == nullptr || !sa->Build()) return nullptr;
    return sa;
}

void DestroyClient(CSndApiPipeClient* client) {
    client->Stop();
    delete client;
}

}  // namespace

extern "C" {

uint32_t ZkSndVApiInit(ZkSndNotifyCallback callback, void* context) {
    g_pfnCallback = callback;
    g_pCallbackContext = context;

    if (g_pLogger == nullptr) {
        g_pLogger = CreateLogger();
        if (g_pLogger == nullptr) return 1;
    }

    if (g_pClient == nullptr) {
        // A worker thread, event or mutex that cannot be created fails the call;
        // the record goes with the client whether or not it could be built.
        lumlib::CatchReturn([] { g_pClient = new CSndApiPipeClient(CreatePipeSecurity()); });
        if (g_pClient == nullptr) return 1;
    }

    if (g_pfnCallback != nullptr) g_pClient->SetCallback(g_pfnCallback, g_pCallbackContext);
    return g_pClient->Start() == 0 ? 0 : 1;
}

uint32_t ZkSndVCleanUp(void) {
    if (g_pClient != nullptr) DestroyClient(g_pClient);
    g_pClient = nullptr;
    g_pfnCallback = nullptr;
    g_pCallbackContext = nullptr;
    return 0;
}

uint32_t ZkSndDeInit(void) {
    if (g_pClient != nullptr) {
        CSndApiPipeClient* client = g_pClient;
        g_pClient = nullptr;
        DestroyClient(client);
    }
    if (g_pLogger != nullptr) delete g_pLogger;
    g_pLogger = nullptr;
    return 0;
}

uint32_t ZkSndVGetDeviceList(void) {
    if (g_pClient == nullptr) return ZKSND_STATUS_FAILED;
    return g_pClient->ApiGetDeviceList();
}

uint32_t ZkSndSetDefault(uint32_t device) {
    if (g_pClient == nullptr) return ZKSND_STATUS_FAILED;
    return g_pClient->ApiSetDefaultDevice(device);
}

uint32_t ZkSndGetSettings(SndSettings* settings) {
    if (g_pClient == nullptr) return ZKSND_STATUS_FAILED;
    if (settings == nullptr) return ZKSND_STATUS_INVALID_PARAMETER;
    return g_pClient->GetSettings(settings);
}

uint32_t ZkSndSetSettings(const SndSettings* settings) {
    if (g_pClient == nullptr) return ZKSND_STATUS_FAILED;
    if (settings == nullptr) return ZKSND_STATUS_INVALID_PARAMETER;
    return g_pClient->SetSettings(settings);
}

uint32_t ZkConfigIsLocked(void) { return 1; }

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
