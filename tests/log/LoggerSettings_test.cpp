#include "LoggerTestUtil.h"

namespace {

const uint32_t MB = 1048576, kAbsent = 0xFFFFFFFF;

TEST_F(LoggerTest, EveryBoundOfTheSettings) {
    enum { level, files, size };  // which setting a row checks
    // in order, each row starting from what the rows before left; text: a REG_SZ value instead of the number
    const struct { const wchar_t* name; uint32_t number; const wchar_t* text; int field; uint32_t expected; } rows[] = {
        {L"LogLevel", 3, nullptr, level, 3},
        {L"LogLevel", 0, L"3", level, 3},
        {L"LogLevel", 0, L"12", level, 3},  // more than the 4-byte area holds: unchanged
        {L"RotationLogFileNumber", 0, nullptr, files, 1},
        {L"RotationLogFileNumber", 150, nullptr, files, 99},
        {L"RotationLogFileNumber", kAbsent, nullptr, files, 10},  // the default again
        {L"RotationLogFileSizeMB", 0, nullptr, size, 1000 * MB},
        {L"RotationLogFileSizeMB", 1001, nullptr, size, 1000 * MB},
        {L"RotationLogFileSizeMB", 5, nullptr, size, 5 * MB},
        {L"RotationLogFileSizeMB", kAbsent, nullptr, size, 5 * MB},  // unchanged
    };
    CZkLogger logger(L"");
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_QUERY_VALUE, nullptr, &key,
                              nullptr), 0);
    for (const auto& row : rows) {
        if (row.text) SetValue(row.name, REG_SZ, row.text, DWORD(wcslen(row.text) + 1) * 2);
        else SetValue(row.name, REG_DWORD, row.number == kAbsent ? nullptr : &row.number, 4);
        logger.LoadSettings(key, false);  // as the watcher loads
        const uint32_t got[] = {logger.GetThreshold(), logger.GetRotationFileNumber(), logger.GetMaxFileSize()};
        EXPECT_EQ(got[row.field], row.expected) << row.name << " " << row.number;
    }
    RegCloseKey(key);
}

}  // namespace
