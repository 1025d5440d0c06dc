// zksndctl's commands: each loads zksndapi.dll, talks to the service through
// the library's eight exports only, and returns an exit code.
#pragma once

#include <windows.h>

#include <string>

#include "support/Holders.h"
#include "tools/zksndctl/CtlOptions.h"
#include "virt/api/zksndapi.h"

namespace zksndctl {

// The library's exports, resolved by name at run time.
struct ZkSndApi {
    PFN_ZkSndVApiInit Init = nullptr;
    PFN_ZkSndVoid CleanUp = nullptr;
    PFN_ZkSndVoid GetDeviceList = nullptr;
    PFN_ZkSndVoid DeInit = nullptr;
    PFN_ZkSndSetDefault SetDefault = nullptr;
    PFN_ZkSndGetSettings GetSettings = nullptr;
    PFN_ZkSndSetSettings SetSettings = nullptr;
    PFN_ZkSndVoid ConfigIsLocked = nullptr;
};

// Owns the loaded library.
class CLoadedApi {
public:
    CLoadedApi() = default;
    ~CLoadedApi();
    CLoadedApi(const CLoadedApi&) = delete;
    CLoadedApi& operator=(const CLoadedApi&) = delete;

    // path empty: zksndapi.dll in the folder of this program. false with a
    // message when the file cannot be loaded or an export is missing.
    bool Load(const std::wstring& path, std::wstring* error);
    const ZkSndApi& Api() const { return m_api; }
    const std::wstring& Path() const { return m_path; }  // the full path of the loaded file

private:
    lumlib::unique_hmodule m_module;
    std::wstring m_path;
    ZkSndApi m_api;
};

// Runs the parsed command. stopEvent (may be null) ends waits early: Ctrl+C.
int RunCommand(const CtlOptions& options, HANDLE stopEvent);

// Prints the lines added to the log at `path` from offset on (in `held`, the file the tail read), woken
// by changes in `folder`, until stopEvent or --seconds: kExitOk, or kExitNoLog when the log cannot be
// read (a name that refuses it, for 5 s).
int FollowLog(const std::wstring& folder, const std::wstring& path, uint64_t offset, CHandleHolder held,
              const CtlOptions& options, HANDLE stopEvent);

}  // namespace zksndctl
