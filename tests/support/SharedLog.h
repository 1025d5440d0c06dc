// The library's shared log file (in the common application data folder), as
// the library leaves it for every process that loads it, and the registry key
// whose LogLevel sets what goes into it.
#pragma once

#include <windows.h>
#include <sddl.h>
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
// it open; empty (and *found false) when it cannot be opened. With from: the text from that byte on
// (from the start when the file is shorter: a new one), and from moves past what was read.
inline std::wstring ReadUtf16File(const std::wstring& path, bool* found = nullptr, unsigned long long* from = nullptr) {
    CHandleHolder file(::CreateFileW(path.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr));  // share all
    if (found != nullptr) *found = file.is_valid();
    LARGE_INTEGER size = {}, at = {};
    if (!file.is_valid() || !::GetFileSizeEx(file.get(), &size)) size.QuadPart = 0;
    at.QuadPart = from != nullptr && *from <= (unsigned long long)size.QuadPart ? LONGLONG(*from) : 0;
    std::wstring text(size_t((size.QuadPart - at.QuadPart) / 2), L'\0');
    DWORD read = 0;
    if (!text.empty() && ::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN))
        ::ReadFile(file.get(), &text[0], DWORD(text.size() * 2), &read, nullptr);
    if (from != nullptr) *from = (unsigned long long)at.QuadPart + read;
    return text.substr(0, read / 2);
}

// The shared log's path.
inline std::wstring SharedLogPath() {
    wchar_t folder[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder);
    return std::wstring(folder) + L"\\Zelkor\\Tessaline Server\\zksndapi.txt";
}

// The log's text; empty when there is no log.
inline std::wstring ReadSharedLogText() { return ReadUtf16File(SharedLogPath()); }

// The whole lines of text (a log's) that carry part, with "[level]" before it (level empty: any line).
// Counted in place: the log of a long-lived prefix grows to tens of MB, and a string per line made the
// heap-checked run crawl.
inline size_t LogLines(const std::wstring& text, const std::wstring& level, const std::wstring& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) {
        const size_t begin = text.rfind(L"\r\n", at);
        const size_t end = text.find(L"\r\n", at);
        if (end == std::wstring::npos) break;  // a line still being written
        const size_t from = begin == std::wstring::npos ? 0 : begin + 2;
        if (level.empty() || text.find(L"[" + level + L"]", from) < at) ++count;
        at = end;
    }
    return count;
}

// The library's registry key as a test found it: LogLevel and the key's access rules come back at the end.
struct CSavedSettingsKey {
    CSavedSettingsKey() {
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Zelkor\\Tessaline Server", 0, nullptr, 0,
                          KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
        DWORD size = sizeof(level), securitySize = sizeof(security);
        hadLevel = ::RegGetValueW(key.get(), nullptr, L"LogLevel", RRF_RT_REG_DWORD, nullptr, &level, &size) == 0;
        saved = ::RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, security, &securitySize) == 0;
    }
    ~CSavedSettingsKey() {
        if (saved) ::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, security);
        if (hadLevel) ::RegSetValueExW(key.get(), L"LogLevel", 0, REG_DWORD, reinterpret_cast<BYTE*>(&level), 4);
        else ::RegDeleteValueW(key.get(), L"LogLevel");
    }
    bool SetLevel(DWORD value) {
        return ::RegSetValueExW(key.get(), L"LogLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4) == 0;
    }
    // Everyone may read the key, nobody may write it (as for a user who is not an administrator).
    bool MakeReadOnly() {
        lumlib::unique_local_ptr<PSECURITY_DESCRIPTOR> sd;
        return saved && ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KR;;;WD)", 1, sd.put(), nullptr) &&
               ::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, sd.get()) == 0;
    }
    lumlib::unique_hkey key;
    DWORD level = 0;
    bool hadLevel = false, saved = false;
    alignas(8) BYTE security[4096];
};

}  // namespace zk_testkit
