// The library's shared log file (in the common application data folder), as
// the library leaves it for every process that loads it.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "support/Holders.h"

namespace zk_testkit {

// The log's whole lines, decoded from UTF-16LE without a byte-order mark (a
// line still being written is left out); none when there is no log.
inline std::vector<std::wstring> ReadSharedLogLines() {
    wchar_t folder[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder);
    std::wstring path = std::wstring(folder) + L"\\Zelkor\\Tessaline Server\\zksndapi.txt", text;
    std::vector<std::wstring> lines;
    CHandleHolder file(::CreateFileW(path.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr));  // share all
    if (!file.is_valid()) return lines;
    text.resize(::GetFileSize(file.get(), nullptr) / 2);
    DWORD read = 0;
    ::ReadFile(file.get(), &text[0], DWORD(text.size() * 2), &read, nullptr);
    size_t start = 0, end = 0;
    while ((end = text.find(L"\r\n", start)) != std::wstring::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

}  // namespace zk_testkit
