// Logger test helpers: a private temporary folder, files read back as UTF-16LE,
// the settings key, and a logger started as the library starts it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "log/ZkLogger.h"
#include "support/Watchdog.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/SharedLog.h"

const wchar_t kSettingsKey[] = L"Software\\Zelkor\\Tessaline Server";

// The test name of a mode: its name field.
template <typename Mode> std::string ModeName(const ::testing::TestParamInfo<Mode>& mode) { return mode.param.name; }

// A private temporary folder, ending with a backslash; removed with everything in it.
struct TempDir {
    inline static int counter = 0;
    const std::wstring path = (std::filesystem::temp_directory_path() / (L"zklog-" + std::to_wstring(GetCurrentProcessId()) +
                                                                          L"-" + std::to_wstring(++counter))).wstring() + L"\\";
    TempDir() { CreateDirectoryW(path.c_str(), nullptr); }
    ~TempDir() { std::error_code ignored; std::filesystem::remove_all(path, ignored); }
};

// Size of a file by name; 0 when it cannot be read.
// The fault kit on this program's imports, through which the logger linked into it
// calls Windows: redirected once (a second redirection would call itself).
inline void FaultsOnThisProgram() { static const auto unknown = testkit::InstallImportFaults(::GetModuleHandleW(nullptr)); }

inline uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA d;
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d) ? (uint64_t(d.nFileSizeHigh) << 32) | d.nFileSizeLow : 0;
}

// The whole file as UTF-16LE text; "<missing>" when it cannot be opened.
inline std::wstring ReadText(const std::wstring& path) {
    bool found = false;
    const std::wstring text = zk_testkit::ReadUtf16File(path, &found);
    EXPECT_EQ(FileSize(path) % 2, 0u) << "not UTF-16";
    return found ? text : L"<missing>";
}

// The file's lines (split at "\r\n", the last one being what follows the last line end),
// each as "tid|label|padding message" when it starts with a prefix of this process, else "?" and the text.
inline std::vector<std::wstring> ReadLog(const std::wstring& path) {
    static const std::wregex prefix(  // date time (offset) [pid] [tid] [label]: padding message
        LR"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \([+-]\d{2}:\d{2}\) \[(\d+)\] \[(\d+)\] (\[([^\]]*)\])?: (.*))");
    std::vector<std::wstring> lines;
    for (const std::wstring& line : zk_testkit::SplitLines(ReadText(path) + L"\r\n")) {
        std::wsmatch m;
        const bool ours = std::regex_match(line, m, prefix) && m[1].str() == std::to_wstring(GetCurrentProcessId());
        lines.push_back(ours ? m[2].str() + L"|" + m[4].str() + L"|" + m[5].str() : L"?" + line);
    }
    return lines;
}

// Sets a value of the settings key; null data deletes the value.
inline void SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    if (!data) RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, name);
    else ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, name, type, data, size), ERROR_SUCCESS);
}
inline void SetDword(const wchar_t* name, DWORD value) { SetValue(name, REG_DWORD, &value, 4); }

// Polls a condition that no event announces, until it holds or timeoutMs pass.
template <typename Condition> bool WaitFor(Condition condition, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(50);
    }
    return true;
}

// A logger started as the library starts it, on folder dir (ending with a
// backslash); settings: load the registry settings and start their watcher.
inline CZkLogger* StartLogger(const std::wstring& dir, uint32_t async, bool settings) {
    CZkLogger::SetAlignmentWidth(0);  // the message column: the widest prefix so far in the process
    CZkLogger* logger = new CZkLogger(dir.c_str());
    logger->SetAsyncWrite(async);
    logger->SetFormatFlags(kLogDefaultFormat);
    logger->BuildHeader();
    EXPECT_TRUE(logger->AddFileBuffer());
    if (settings) {
        EXPECT_TRUE(logger->OpenSettingsKey()) << "the settings key did not open";
    }
    return logger;
}

// A fresh settings key and a private folder; Start runs the library's start-up steps.
struct LoggerTest : ::testing::Test {
    void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKey); }
    void TearDown() override { Stop(); SetUp(); }
    void Start(uint32_t async) { logger_ = StartLogger(dir_.path, async, true); }  // 0: synchronous, readable at once
    void Stop() { delete logger_; logger_ = nullptr; }
    std::wstring File() const { return dir_.path + L"zksndapi.txt"; }
    testkit::Watchdog watchdog_{"a logger test", 120000};  // the logger's threads and the file can hang
    TempDir dir_;
    CZkLogger* logger_ = nullptr;
};
