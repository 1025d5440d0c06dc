// zksndapi.dll loaded with LoadLibraryW and its eight exports resolved with
// GetProcAddress, as an application would use it.
#pragma once

#include <windows.h>

#include "virt/api/zksndapi.h"

// GetProcAddress's generic pointer, cast through void* to the export's type.
template <class T>
T Proc(HMODULE dll, const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(dll, name)));
}

struct Api {
    HMODULE dll = ::LoadLibraryW(L"zksndapi.dll");
    PFN_ZkSndVApiInit Init = Proc<PFN_ZkSndVApiInit>(dll, "ZkSndVApiInit");
    PFN_ZkSndVoid CleanUp = Proc<PFN_ZkSndVoid>(dll, "ZkSndVCleanUp");
    PFN_ZkSndVoid GetDeviceList = Proc<PFN_ZkSndVoid>(dll, "ZkSndVGetDeviceList");
    PFN_ZkSndVoid DeInit = Proc<PFN_ZkSndVoid>(dll, "ZkSndDeInit");
    PFN_ZkSndSetDefault SetDefault = Proc<PFN_ZkSndSetDefault>(dll, "ZkSndSetDefault");
    PFN_ZkSndGetSettings GetSettings = Proc<PFN_ZkSndGetSettings>(dll, "ZkSndGetSettings");
    PFN_ZkSndSetSettings SetSettings = Proc<PFN_ZkSndSetSettings>(dll, "ZkSndSetSettings");
    PFN_ZkSndVoid IsLocked = Proc<PFN_ZkSndVoid>(dll, "ZkConfigIsLocked");
    bool Complete() const {
        return Init && CleanUp && GetDeviceList && DeInit && SetDefault && GetSettings && SetSettings && IsLocked;
    }
};
