#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoggerTestUtil.h"
#include "log/ZkLogger.h"
#include "log/ZkLoggerBuffer.h"

namespace {

using logtest::SetDword;
using logtest::SetValue;
const DWORD kReloadMs = 15000;
const uint32_t MB = 1048576;

bool Value(const wchar_t* name, DWORD* type = nullptr) {
    DWORD t = 0;
    LSTATUS rc = RegGetValueW(HKEY_LOCAL_MACHINE, logtest::kSettingsKey, name, RRF_RT_ANY, &t,
                              nullptr, nullptr);
    if (type) *type = t;
    return rc == ERROR_SUCCESS;
}

class LoggerSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        logtest::DeleteSettingsKey();
        CZkLogger::SetAlignmentWidth(0);
    }
    void TearDown() override {
        delete logger_;
        logtest::DeleteSettingsKey();
    }
    // Loads the key into the logger as the watcher does.
    static void Load(CZkLogger& logger, bool writeDefaults = false) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, logtest::kSettingsKey, 0, nullptr, 0,
                                  KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr), 0);
        logger.LoadSettings(key, writeDefaults);
        RegCloseKey(key);
    }
    CZkLogger* logger_ = nullptr;
};

TEST_F(LoggerSettingsTest, EveryBoundOfEveryValue) {
    enum Field { Level, Files, Size, MaxFiles };
    const DWORD kAbsent = REG_NONE;
    const struct Row {
        const wchar_t* name;
        DWORD type;
        std::vector<uint8_t> data;
        Field field;
        uint32_t expected;
    } rows[] = {
        // "LogLevel": a DWORD, or decimal text that fits four bytes (one digit); the value before is 2
        {L"LogLevel", REG_DWORD, {3, 0, 0, 0}, Level, 3},        {L"LogLevel", REG_DWORD, {0, 0, 0, 0}, Level, 0},
        {L"LogLevel", REG_DWORD, {255, 255, 255, 255}, Level, 0xFFFFFFFF},
        {L"LogLevel", REG_SZ, {'3', 0, 0, 0}, Level, 3},          {L"LogLevel", REG_SZ, {'9', 0, 0, 0}, Level, 9},
        {L"LogLevel", REG_SZ, {'1', 0, '2', 0, 0, 0}, Level, 2},  {L"LogLevel", REG_SZ, {0, 0}, Level, 2},
        {L"LogLevel", REG_EXPAND_SZ, {'4', 0, 0, 0}, Level, 2},   {L"LogLevel", REG_BINARY, {5, 0, 0, 0}, Level, 2},
        {L"LogLevel", kAbsent, {}, Level, 2},
        // "RotationLogFileNumber": any four bytes, 0 -> 1, above 99 -> 99, missing -> 10
        {L"RotationLogFileNumber", kAbsent, {}, Files, 10},        {L"RotationLogFileNumber", REG_DWORD, {0, 0, 0, 0}, Files, 1},
        {L"RotationLogFileNumber", REG_DWORD, {1, 0, 0, 0}, Files, 1}, {L"RotationLogFileNumber", REG_DWORD, {98, 0, 0, 0}, Files, 98},
        {L"RotationLogFileNumber", REG_DWORD, {99, 0, 0, 0}, Files, 99}, {L"RotationLogFileNumber", REG_DWORD, {100, 0, 0, 0}, Files, 99},
        {L"RotationLogFileNumber", REG_DWORD, {150, 0, 0, 0}, Files, 99}, {L"RotationLogFileNumber", REG_DWORD, {255, 255, 255, 255}, Files, 99},
        {L"RotationLogFileNumber", REG_BINARY, {7, 0, 0, 0}, Files, 7},
        {L"RotationLogFileNumber", REG_QWORD, {5, 0, 0, 0, 0, 0, 0, 0}, Files, 10},  // does not fit: as missing
        // "RotationLogFileSizeMB": 0 or above 1000 -> 1000, missing -> unchanged (4 MB before)
        {L"RotationLogFileSizeMB", kAbsent, {}, Size, 4 * MB},       {L"RotationLogFileSizeMB", REG_DWORD, {0, 0, 0, 0}, Size, 1000 * MB},
        {L"RotationLogFileSizeMB", REG_DWORD, {1, 0, 0, 0}, Size, MB}, {L"RotationLogFileSizeMB", REG_DWORD, {5, 0, 0, 0}, Size, 5242880},
        {L"RotationLogFileSizeMB", REG_DWORD, {0xE8, 3, 0, 0}, Size, 1048576000},
        {L"RotationLogFileSizeMB", REG_DWORD, {0xE9, 3, 0, 0}, Size, 1000 * MB},
        {L"RotationLogFileSizeMB", REG_DWORD, {255, 255, 255, 255}, Size, 1000 * MB},
        // "OverrideLogMaxFiles": no bounds, missing -> unchanged (6 before)
        {L"OverrideLogMaxFiles", kAbsent, {}, MaxFiles, 6},          {L"OverrideLogMaxFiles", REG_DWORD, {0, 0, 0, 0}, MaxFiles, 0},
        {L"OverrideLogMaxFiles", REG_DWORD, {255, 255, 255, 255}, MaxFiles, 0xFFFFFFFF},
    };
    for (const Row& row : rows) {
        CZkLogger logger(L"");
        SetDword(L"LogLevel", 2);
        SetDword(L"RotationLogFileNumber", 42);
        SetDword(L"RotationLogFileSizeMB", 4);
        SetDword(L"OverrideLogMaxFiles", 6);
        Load(logger);
        SetValue(row.name, row.type, row.type == kAbsent ? nullptr : row.data.data(), static_cast<DWORD>(row.data.size()));
        Load(logger);
        const uint32_t got[] = {logger.GetThreshold(), logger.GetRotationFileNumber(), logger.GetMaxFileSize(),
                                logger.GetMaxLogFiles()};
        EXPECT_EQ(got[row.field], row.expected) << row.name << " type " << row.type << " bytes " << row.data.size();
    }
}

TEST_F(LoggerSettingsTest, MissingValuesAndWhenTheLevelIsWrittenBack) {
    CZkLogger logger(L"");
    SetDword(L"Unrelated", 1);
    Load(logger);  // all missing: the defaults, and no write-back by reloads
    EXPECT_EQ(logger.GetMaxFileSize(), 52428800u);
    EXPECT_EQ(logger.GetMaxLogFiles(), 300u);
    EXPECT_FALSE(Value(L"LogLevel"));
    Load(logger, true);
    DWORD type = 0;
    ASSERT_TRUE(Value(L"LogLevel", &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    SetValue(L"LogLevel", REG_SZ, L"12", 6);  // exists but unusable: left as it is
    SetValue(L"RotationLogFileNumber", REG_SZ, L"123456", 14);
    SetDword(L"OverrideLogMaxFiles", 12);  // the values after failed ones are still read
    Load(logger, true);
    EXPECT_TRUE(Value(L"LogLevel", &type) && type == REG_SZ);
    EXPECT_EQ(logger.GetRotationFileNumber(), 10u);
    EXPECT_EQ(logger.GetMaxLogFiles(), 12u);
}

TEST_F(LoggerSettingsTest, ChangesWhileRunningReachLoggerAndFileBuffer) {
    logtest::TempDir dir;
    logger_ = logtest::StartLogger(dir.Path(), 0);
    EXPECT_TRUE(logger_->HasSettingsWatcher());
    DWORD type = 0;
    EXPECT_TRUE(Value(L"LogLevel", &type) && type == REG_DWORD);  // created at start-up
    CZkLoggerBuffer* buffer = logger_->GetFileBuffer(0);
    ASSERT_NE(buffer, nullptr);

    LogPrint(logger_, 3, L"before the change");
    SetDword(L"LogLevel", 3);
    ASSERT_TRUE(logtest::WaitFor([&] { return logger_->GetThreshold() == 3; }, kReloadMs));
    LogPrint(logger_, 3, L"after the change");
    // the watcher re-arms after every change, and never re-creates the level
    SetValue(L"LogLevel", 0, nullptr, 0);
    SetDword(L"RotationLogFileNumber", 150);
    ASSERT_TRUE(logtest::WaitFor([&] { return logger_->GetRotationFileNumber() == 99; }, kReloadMs));
    EXPECT_EQ(buffer->GetRotationFileNumber(), 99u);
    EXPECT_FALSE(Value(L"LogLevel"));
    SetDword(L"RotationLogFileSizeMB", 2);
    ASSERT_TRUE(logtest::WaitFor([&] { return logger_->GetMaxFileSize() == 2 * MB; }, kReloadMs));
    EXPECT_TRUE(logger_->OpenSettingsKey());  // a second call keeps the one watcher

    delete logger_;
    logger_ = nullptr;
    std::vector<std::wstring> lines = logtest::ReadLines(dir.Path() + L"zksndapi.txt");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[2].find(L"[DEBUG]:   after the change"), std::wstring::npos);
}

bool SetKeyAccess(const wchar_t* sddl) {
    HKEY key = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    bool ok = RegOpenKeyExW(HKEY_LOCAL_MACHINE, logtest::kSettingsKey, 0, WRITE_DAC | KEY_WOW64_64KEY, &key) == 0 &&
              ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr) &&
              RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd) == 0;
    LocalFree(sd);
    if (key) RegCloseKey(key);
    return ok;
}

TEST_F(LoggerSettingsTest, ReadOnlyAndUnreachableKeys) {
    const struct {
        const wchar_t* sddl;
        bool opened;
        uint32_t files;
    } rows[] = {{L"D:P(A;OICI;KR;;;WD)", true, 3}, {L"D:P", false, 10}};  // read only; no access at all
    for (const auto& row : rows) {
        SetDword(L"RotationLogFileNumber", 3);
        ASSERT_TRUE(SetKeyAccess(row.sddl));
        HKEY probe = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, logtest::kSettingsKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &probe) == 0) {
            RegCloseKey(probe);
            SetKeyAccess(L"D:(A;OICI;KA;;;WD)");
            GTEST_SKIP() << "this registry does not enforce key access lists";
        }
        CZkLogger* logger = new CZkLogger(L"");
        bool opened = logger->OpenSettingsKey(), watching = logger->HasSettingsWatcher();
        uint32_t files = logger->GetRotationFileNumber();
        delete logger;
        ASSERT_TRUE(SetKeyAccess(L"D:(A;OICI;KA;;;WD)"));
        EXPECT_EQ(opened, row.opened);
        EXPECT_EQ(watching, row.opened);
        EXPECT_EQ(files, row.files);
        EXPECT_FALSE(Value(L"LogLevel"));  // nothing written into a key without write access
        logtest::DeleteSettingsKey();
    }
}

}  // namespace
