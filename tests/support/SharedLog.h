// The library's shared log file (in the common application data folder), as
// the library leaves it for every process that loads it.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "support/Holders.h"

namespace zk_testkit {

// The lines of text that end in "\r\n" (what follows the last line end is left out).
inline std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0, end = 0;
    while ((end = text.find(L"\r\n", start)) != std::wstring::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// A file's text, decoded from UTF-16LE without a byte-order mark, read while its writers keep
// it open; empty (and *found false) when it cannot be opened.
inline std::wstring ReadUtf16File(const std::wstring& path, bool* found = nullptr) {
    CHandleHolder file(::CreateFileW(path.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr));  // share all
    if (found != nullptr) *found = file.is_valid();
    std::wstring text(file.is_valid() ? ::GetFileSize(file.get(), nullptr) / 2 : 0, L'\0');
    DWORD read = 0;
    if (!text.empty()) ::ReadFile(file.get(), &text[0], DWORD(text.size() * 2), &read, nullptr);
    return text.substr(0, read / 2);
}

// The log's text; empty when there is no log.
inline std::wstring ReadSharedLogText() {
    wchar_t folder[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder);
    return ReadUtf16File(std::wstring(folder) + L"\\Zelkor\\Tessaline Server\\zksndapi.txt");
}

// The log's whole lines (a line still being written is left out); none when there is no log.
inline std::vector<std::wstring> ReadSharedLogLines() { return SplitLines(ReadSharedLogText()); }

}  // namespace zk_testkit
