#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoggerTestUtil.h"
#include "log/ZkLogger.h"
#include "log/ZkLoggerBuffer.h"

namespace {

using logtest::CreateSettingsKey;
using logtest::SetDword;

const DWORD kReloadTimeoutMs = 15000;

void SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = CreateSettingsKey();
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
}

void SetText(const wchar_t* name, const wchar_t* text, DWORD type = REG_SZ) {
    SetValue(name, type, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}

void DeleteValue(const wchar_t* name) {
    HKEY key = CreateSettingsKey();
    RegDeleteValueW(key, name);
    RegCloseKey(key);
}

bool ValueExists(const wchar_t* name, DWORD* type = nullptr, DWORD* dword = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, logtest::kSettingsKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return false;
    BYTE data[64] = {};
    DWORD size = sizeof(data), t = 0;
    LSTATUS rc = RegQueryValueExW(key, name, nullptr, &t, data, &size);
    RegCloseKey(key);
    if (type) *type = t;
    if (dword) memcpy(dword, data, sizeof(*dword));
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
        logger_ = nullptr;
        logtest::DeleteSettingsKey();
    }
    // Loads the key's values into logger as the watcher does (no write-back unless asked).
    static void Load(CZkLogger& logger, bool writeDefaults = false) {
        HKEY key = CreateSettingsKey();
        logger.LoadSettings(key, writeDefaults);
        RegCloseKey(key);
    }
    CZkLogger* logger_ = nullptr;
};

struct BoundRow {
    bool present;
    DWORD value;
    uint32_t expected;
};

TEST_F(LoggerSettingsTest, RotationFileNumberBounds) {
    const BoundRow rows[] = {
        {false, 0, 10}, {true, 0, 1},   {true, 1, 1},   {true, 2, 2},           {true, 50, 50},
        {true, 98, 98}, {true, 99, 99}, {true, 100, 99}, {true, 150, 99}, {true, 0xFFFFFFFF, 99},
    };
    for (const BoundRow& row : rows) {
        CZkLogger logger(L"");
        if (row.present)
            SetDword(L"RotationLogFileNumber", row.value);
        else
            DeleteValue(L"RotationLogFileNumber");
        Load(logger);
        EXPECT_EQ(logger.GetRotationFileNumber(), row.expected) << row.present << " " << row.value;
    }
}

TEST_F(LoggerSettingsTest, RotationFileNumberFallsBackTo10WheneverMissing) {
    CZkLogger logger(L"");
    SetDword(L"RotationLogFileNumber", 5);
    Load(logger);
    EXPECT_EQ(logger.GetRotationFileNumber(), 5u);
    DeleteValue(L"RotationLogFileNumber");
    Load(logger);
    EXPECT_EQ(logger.GetRotationFileNumber(), 10u);

    // any four bytes count, whatever their type; more do not fit
    const uint8_t binary[4] = {7, 0, 0, 0};
    SetValue(L"RotationLogFileNumber", REG_BINARY, binary, 4);
    Load(logger);
    EXPECT_EQ(logger.GetRotationFileNumber(), 7u);
    const uint64_t qword = 5;
    SetValue(L"RotationLogFileNumber", REG_QWORD, &qword, 8);
    Load(logger);
    EXPECT_EQ(logger.GetRotationFileNumber(), 10u);
}

TEST_F(LoggerSettingsTest, FileSizeBounds) {
    const uint32_t MB = 1048576;
    const BoundRow rows[] = {
        {false, 0, 52428800},      {true, 0, 1000 * MB},    {true, 1, MB},
        {true, 5, 5242880},        {true, 999, 999 * MB},   {true, 1000, 1048576000},
        {true, 1001, 1000 * MB},   {true, 0xFFFFFFFF, 1000 * MB},
    };
    for (const BoundRow& row : rows) {
        CZkLogger logger(L"");
        if (row.present)
            SetDword(L"RotationLogFileSizeMB", row.value);
        else
            DeleteValue(L"RotationLogFileSizeMB");
        Load(logger);
        EXPECT_EQ(logger.GetMaxFileSize(), row.expected) << row.present << " " << row.value;
    }
}

TEST_F(LoggerSettingsTest, FileSizeStaysWhenTheValueGoes) {
    CZkLogger logger(L"");
    SetDword(L"RotationLogFileSizeMB", 5);
    Load(logger);
    EXPECT_EQ(logger.GetMaxFileSize(), 5242880u);
    DeleteValue(L"RotationLogFileSizeMB");
    Load(logger);
    EXPECT_EQ(logger.GetMaxFileSize(), 5242880u);
}

TEST_F(LoggerSettingsTest, MaxLogFilesHasNoBoundsAndStaysWhenMissing) {
    CZkLogger logger(L"");
    CreateSettingsKey();
    Load(logger);
    EXPECT_EQ(logger.GetMaxLogFiles(), 300u);
    const DWORD values[] = {0, 77, 0xFFFFFFFF, 1};
    for (DWORD v : values) {
        SetDword(L"OverrideLogMaxFiles", v);
        Load(logger);
        EXPECT_EQ(logger.GetMaxLogFiles(), v);
    }
    DeleteValue(L"OverrideLogMaxFiles");
    Load(logger);
    EXPECT_EQ(logger.GetMaxLogFiles(), 1u);
}

TEST_F(LoggerSettingsTest, LogLevelAcceptsDwordsAndOneDigitText) {
    struct Row {
        DWORD type;
        std::vector<uint8_t> data;
        uint32_t expected;  // kUnchanged: the threshold stays at 2
    };
    const uint32_t kUnchanged = 2;
    auto text = [](const wchar_t* s) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(s);
        return std::vector<uint8_t>(p, p + (wcslen(s) + 1) * sizeof(wchar_t));
    };
    auto dword = [](DWORD v) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(&v);
        return std::vector<uint8_t>(p, p + 4);
    };
    const Row rows[] = {
        {REG_DWORD, dword(3), 3},
        {REG_DWORD, dword(0), 0},
        {REG_DWORD, dword(0xFFFFFFFF), 0xFFFFFFFF},
        {REG_SZ, text(L"3"), 3},
        {REG_SZ, text(L"9"), 9},
        {REG_SZ, text(L"0"), 0},
        {REG_SZ, text(L"12"), kUnchanged},  // does not fit the four bytes
        {REG_SZ, text(L""), kUnchanged},
        {REG_EXPAND_SZ, text(L"4"), kUnchanged},
        {REG_BINARY, dword(5), kUnchanged},
        {REG_QWORD, {5, 0, 0, 0, 0, 0, 0, 0}, kUnchanged},
    };
    for (const Row& row : rows) {
        CZkLogger logger(L"");
        SetDword(L"LogLevel", 2);
        Load(logger);
        ASSERT_EQ(logger.GetThreshold(), 2u);
        SetValue(L"LogLevel", row.type, row.data.data(), static_cast<DWORD>(row.data.size()));
        Load(logger);
        EXPECT_EQ(logger.GetThreshold(), row.expected) << "type " << row.type << " size " << row.data.size();
    }
}

TEST_F(LoggerSettingsTest, MissingLogLevelIsWrittenBackOnlyWhenAsked) {
    CZkLogger logger(L"");
    CreateSettingsKey();
    Load(logger, false);
    EXPECT_FALSE(ValueExists(L"LogLevel"));
    Load(logger, true);
    DWORD type = 0, value = 0xAA;
    ASSERT_TRUE(ValueExists(L"LogLevel", &type, &value));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 0u);

    // a value that exists but cannot be taken is left alone
    SetText(L"LogLevel", L"12");
    Load(logger, true);
    ASSERT_TRUE(ValueExists(L"LogLevel", &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
}

TEST_F(LoggerSettingsTest, EveryValueIsReadEvenWhenOthersFail) {
    CZkLogger logger(L"");
    SetText(L"LogLevel", L"77");
    SetText(L"RotationLogFileNumber", L"123456");
    SetDword(L"RotationLogFileSizeMB", 3);
    SetDword(L"OverrideLogMaxFiles", 12);
    Load(logger);
    EXPECT_EQ(logger.GetThreshold(), 0u);
    EXPECT_EQ(logger.GetRotationFileNumber(), 10u);
    EXPECT_EQ(logger.GetMaxFileSize(), 3u * 1048576);
    EXPECT_EQ(logger.GetMaxLogFiles(), 12u);
}

TEST_F(LoggerSettingsTest, StartUpCreatesTheKeyWithTheDefaultLevel) {
    logger_ = new CZkLogger(L"");
    ASSERT_TRUE(logger_->OpenSettingsKey());
    EXPECT_TRUE(logger_->HasSettingsWatcher());
    DWORD type = 0, value = 0xAA;
    ASSERT_TRUE(ValueExists(L"LogLevel", &type, &value));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 0u);
    EXPECT_FALSE(ValueExists(L"RotationLogFileNumber"));
    EXPECT_EQ(logger_->GetRotationFileNumber(), 10u);
    EXPECT_EQ(logger_->GetMaxFileSize(), 52428800u);

    // a second call keeps the one watcher and succeeds again
    EXPECT_TRUE(logger_->OpenSettingsKey());
}

TEST_F(LoggerSettingsTest, ReloadsDoNotRecreateTheLevel) {
    logger_ = new CZkLogger(L"");
    ASSERT_TRUE(logger_->OpenSettingsKey());
    DeleteValue(L"LogLevel");
    SetDword(L"RotationLogFileNumber", 7);
    ASSERT_TRUE(logtest::WaitFor([&] { return logger_->GetRotationFileNumber() == 7; }, kReloadTimeoutMs));
    EXPECT_FALSE(ValueExists(L"LogLevel"));
}

TEST_F(LoggerSettingsTest, ChangesWhileRunningReachLoggerAndFileBuffer) {
    logtest::TempDir dir;
    logger_ = logtest::StartLogger(dir.Path(), 0);
    CZkLoggerBuffer* buffer = logger_->GetFileBuffer(0);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->GetRotationFileNumber(), 10u);

    LogPrint(logger_, 3, L"before the change");
    SetDword(L"LogLevel", 3);
    ASSERT_TRUE(logtest::WaitFor([&] { return logger_->GetThreshold() == 3; }, kReloadTimeoutMs));
    LogPrint(logger_, 3, L"after the change");

    // the watcher re-arms after each change
    SetDword(L"RotationLogFileNumber", 150);
    ASSERT_TRUE(logtest::WaitFor([&] { return logger_->GetRotationFileNumber() == 99; }, kReloadTimeoutMs));
    EXPECT_EQ(buffer->GetRotationFileNumber(), 99u);
    SetDword(L"RotationLogFileNumber", 0);
    ASSERT_TRUE(logtest::WaitFor([&] { return logger_->GetRotationFileNumber() == 1; }, kReloadTimeoutMs));
    EXPECT_EQ(buffer->GetRotationFileNumber(), 1u);
    SetDword(L"RotationLogFileSizeMB", 2);
    ASSERT_TRUE(logtest::WaitFor([&] { return logger_->GetMaxFileSize() == 2u * 1048576; }, kReloadTimeoutMs));

    delete logger_;
    logger_ = nullptr;
    std::wstring text = logtest::ReadUtf16(dir.Path() + L"zksndapi.txt");
    EXPECT_EQ(text.find(L"before the change"), std::wstring::npos);
    EXPECT_NE(text.find(L"[DEBUG]:   after the change\r\n"), std::wstring::npos);
}

// Replaces the key's access list; returns false when it cannot.
bool SetKeyAccess(const wchar_t* sddl) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, logtest::kSettingsKey, 0, WRITE_DAC | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return false;
    PSECURITY_DESCRIPTOR sd = nullptr;
    bool ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr) &&
              RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd) == ERROR_SUCCESS;
    LocalFree(sd);
    RegCloseKey(key);
    return ok;
}

// Whether the registry refuses a write-access open of the key right now.
bool WriteAccessRefused() {
    HKEY key = nullptr;
    LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, logtest::kSettingsKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key);
    if (key) RegCloseKey(key);
    return rc == ERROR_ACCESS_DENIED;
}

TEST_F(LoggerSettingsTest, ReadOnlyKeyIsReadWithoutWritingBack) {
    SetDword(L"RotationLogFileNumber", 3);
    ASSERT_TRUE(SetKeyAccess(L"D:P(A;OICI;KR;;;WD)"));  // everyone may read, nobody may write
    if (!WriteAccessRefused()) {
        SetKeyAccess(L"D:(A;OICI;KA;;;WD)");
        GTEST_SKIP() << "this registry does not enforce key access lists";
    }
    logger_ = new CZkLogger(L"");
    bool opened = logger_->OpenSettingsKey();
    bool created = ValueExists(L"LogLevel");
    uint32_t files = logger_->GetRotationFileNumber();
    delete logger_;
    logger_ = nullptr;
    ASSERT_TRUE(SetKeyAccess(L"D:(A;OICI;KA;;;WD)"));
    EXPECT_TRUE(opened);
    EXPECT_FALSE(created);
    EXPECT_EQ(files, 3u);
}

TEST_F(LoggerSettingsTest, UnreachableKeyLeavesDefaultsAndNoWatcher) {
    SetDword(L"RotationLogFileNumber", 3);
    SetDword(L"LogLevel", 3);
    ASSERT_TRUE(SetKeyAccess(L"D:P"));  // nobody gets any access
    if (!WriteAccessRefused()) {
        SetKeyAccess(L"D:(A;OICI;KA;;;WD)");
        GTEST_SKIP() << "this registry does not enforce key access lists";
    }
    logger_ = new CZkLogger(L"");
    bool opened = logger_->OpenSettingsKey();
    ASSERT_TRUE(SetKeyAccess(L"D:(A;OICI;KA;;;WD)"));
    EXPECT_FALSE(opened);
    EXPECT_FALSE(logger_->HasSettingsWatcher());
    EXPECT_EQ(logger_->GetThreshold(), 0u);
    EXPECT_EQ(logger_->GetRotationFileNumber(), 10u);
}

}  // namespace
