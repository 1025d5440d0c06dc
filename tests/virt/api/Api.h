// zksndapi.dll loaded with LoadLibraryW and its eight exports resolved with
// GetProcAddress, as an application would use it.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "support/Holders.h"

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

// The log's lines, decoded from UTF-16LE without a byte-order mark.
inline std::vector<std::wstring> ReadLogLines() {
    wchar_t folder[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder);
    std::wstring path = std::wstring(folder) + L"\\Zelkor\\Tessaline Server\\zksndapi.txt";
    std::vector<std::wstring> lines;
    CHandleHolder file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.is_valid()) return lines;
    std::wstring text(::GetFileSize(file.get(), nullptr) / 2, L'\0');
    DWORD read = 0;
    ::ReadFile(file.get(), &text[0], DWORD(text.size() * 2), &read, nullptr);
    for (size_t start = 0, end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}
