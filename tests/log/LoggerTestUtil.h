// Logger test helpers: a private temporary folder, log files read back as
// UTF-16LE lines, the settings key, and the logger's start-up sequence.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/ZkLogger.h"

namespace logtest {

const wchar_t kSettingsKey[] = L"Software\\Zelkor\\Tessaline Server";

class TempDir {
public:
    TempDir() {
        static LONG counter = 0;
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        path_ = std::wstring(base) + L"zklogger-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(InterlockedIncrement(&counter)) + L"\\";
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TempDir() { Remove(path_); }
    const std::wstring& Path() const { return path_; }

private:
    static void Remove(const std::wstring& dir) {
        WIN32_FIND_DATAW d;
        HANDLE find = FindFirstFileW((dir + L"*").c_str(), &d);
        for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &d)) {
            std::wstring name = d.cFileName;
            if (name == L"." || name == L"..") continue;
            if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                Remove(dir + name + L"\\");
            else
                DeleteFileW((dir + name).c_str());
        }
        if (find != INVALID_HANDLE_VALUE) FindClose(find);
        RemoveDirectoryW(dir.c_str());
    }
    std::wstring path_;
};

// The file's lines, split at "\r\n"; the last element is what follows the last line end.
inline std::vector<std::wstring> ReadLines(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    std::wstring text;
    wchar_t chunk[32768];
    DWORD got = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        EXPECT_EQ(got % 2, 0u);
        text.append(chunk, got / 2);
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    lines.push_back(text.substr(start));
    return lines;
}

inline void DeleteSettingsKey() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKey); }

inline void SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, &key, nullptr), ERROR_SUCCESS);
    if (data)
        EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    else if (name)
        RegDeleteValueW(key, name);
    RegCloseKey(key);
}

inline void SetDword(const wchar_t* name, DWORD value) { SetValue(name, REG_DWORD, &value, 4); }

// Start-up as the library runs it, with the write mode of the test's choice
// (synchronous writes can be read back at once).
inline CZkLogger* StartLogger(const std::wstring& dir, uint32_t async) {
    CZkLogger* logger = new CZkLogger(dir.c_str());
    EXPECT_TRUE(logger->InitWorkPool());
    logger->SetAsyncWrite(async);
    logger->SetFormatFlags(kLogDefaultFormat);
    logger->BuildHeader();
    EXPECT_TRUE(logger->AddFileBuffer());
    EXPECT_TRUE(logger->OpenSettingsKey());
    return logger;
}

// Polls a condition that no event announces, until it holds or timeoutMs pass.
template <typename Condition>
bool WaitFor(Condition condition, DWORD timeoutMs) {
    for (DWORD start = GetTickCount(); !condition(); Sleep(50))
        if (GetTickCount() - start > timeoutMs) return false;
    return true;
}

}  // namespace logtest
