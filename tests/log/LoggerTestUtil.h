// Helpers of the logger tests: a private temporary folder, reading log files
// back as UTF-16LE, the settings key, and the logger's start-up sequence.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "log/ZkLogger.h"

namespace logtest {

const wchar_t kSettingsKey[] = L"Software\\Zelkor\\Tessaline Server";

// A fresh folder under the temporary directory, removed with its files.
class TempDir {
public:
    TempDir() {
        static LONG counter = 0;
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        m_path = std::wstring(base) + L"zklogger-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(InterlockedIncrement(&counter)) + L"\\";
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~TempDir() { RemoveTree(m_path); }
    const std::wstring& Path() const { return m_path; }

    static void RemoveTree(const std::wstring& dir) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((dir + L"*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = data.cFileName;
                if (name == L"." || name == L"..") continue;
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveTree(dir + name + L"\\");
                else
                    DeleteFileW((dir + name).c_str());
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
        RemoveDirectoryW(dir.c_str());
    }

private:
    std::wstring m_path;
};

// The whole file as UTF-16LE text; the byte count must be even.
inline std::wstring ReadUtf16(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return L"<missing>";
    std::vector<char> bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    CloseHandle(file);
    EXPECT_EQ(bytes.size() % 2, 0u) << "odd byte count in a UTF-16LE file";
    std::wstring text(bytes.size() / 2, L'\0');
    if (!text.empty()) memcpy(&text[0], bytes.data(), text.size() * 2);
    return text;
}

// Splits at "\r\n"; the text after the last line end (normally empty) is the last element.
inline std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) break;
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    lines.push_back(text.substr(start));
    return lines;
}

inline void DeleteSettingsKey() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKey); }

inline HKEY CreateSettingsKey() {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0,
                              KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
}

inline void SetDword(const wchar_t* name, DWORD value) {
    HKEY key = CreateSettingsKey();
    EXPECT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// Start-up as the library runs it, with the write mode chosen by the test
// (synchronous writes make the file readable right after each call).
inline CZkLogger* StartLogger(const std::wstring& dir, uint32_t async, bool openSettings = true) {
    CZkLogger* logger = new CZkLogger(dir.c_str());
    EXPECT_TRUE(logger->InitWorkPool());
    logger->SetAsyncWrite(async);
    logger->SetFormatFlags(kLogDefaultFormat);
    logger->BuildHeader();
    EXPECT_TRUE(logger->AddFileBuffer());
    if (openSettings) {
        EXPECT_TRUE(logger->OpenSettingsKey());
    }
    return logger;
}

inline void LogLabeled(IZkLogger* logger, const wchar_t* label, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    logger->LogLabeledV(label, format, args);
    va_end(args);
}

inline void Dump(IZkLogger* logger, uint32_t level, const void* data, uint32_t size, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    logger->DumpV(level, data, size, format, args);
    va_end(args);
}

// Polls a condition (no event announces it) until it holds or timeoutMs pass.
template <typename Condition>
bool WaitFor(Condition condition, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(50);
    }
    return true;
}

}  // namespace logtest
