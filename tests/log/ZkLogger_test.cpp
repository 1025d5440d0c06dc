#include "LoggerTestUtil.h"

#include <sddl.h>

#include <thread>

#include "log/SystemDescription.h"
#include "log/ZkLoggerBuffer.h"

namespace {

// Calls one of the va_list entry points with the arguments after format.
template <typename Entry>
void Call(Entry entry, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    entry(format, args);
    va_end(args);
}

const uint32_t MB = 1048576, kAbsent = 0xFFFFFFFF;

// A disk that hangs until the event (context) is set.
BOOL StalledWrite(void* context, HANDLE file, const void* data, DWORD size, DWORD* written) {
    WaitForSingleObject(static_cast<HANDLE>(context), INFINITE);
    return CZkLoggerBuffer::WriteFileLive(nullptr, file, data, size, written);
}

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

TEST(LoggerPrefix, UtcOffsetFromTheTwoClocks) {
    // year, month, weekday, day, hour, minute, second, ms
    const struct { SYSTEMTIME utc, local; const wchar_t* expected; } rows[] = {
        {{2026, 5, 0, 13, 22, 30, 0, 0}, {2026, 5, 0, 14, 0, 30, 0, 0}, L"(+02:00) "},   // local clock past midnight
        {{2026, 5, 0, 14, 0, 30, 0, 0}, {2026, 5, 0, 13, 22, 30, 0, 0}, L"(-02:00) "},   // UTC past midnight
        {{2026, 5, 0, 13, 23, 45, 0, 0}, {2026, 5, 0, 14, 5, 30, 0, 0}, L"(+06:15) "},   // hours, minutes apart
    };
    wchar_t out[64];
    for (const auto& row : rows)  // the returned length, and the text
        EXPECT_EQ(std::wstring(out, CZkLogger::FormatUtcOffset(out, 64, row.utc, row.local)), row.expected);
}

void SetKeyAccess(const wchar_t* sddl) {
    HKEY key = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr));
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, WRITE_DAC, &key), 0);
    EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd), 0);
    RegCloseKey(key);
    LocalFree(sd);
}

// One logger's life: start-up creates the level as a DWORD; a change reaches the
// running logger; the lines it writes; later loads and a read-only key create
// no values; a key deleted and made again is followed; an idle file is closed, and the next line opens a new one (with a
// header) when it was deleted meanwhile; a restarted logger appends without one.
TEST_F(LoggerTest, OneLoggersLife) {
    Start(0);
    DWORD level = 1, size = 4;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"LogLevel", RRF_RT_REG_DWORD, nullptr, &level, &size), 0);
    EXPECT_EQ(level, 0u);
    LogPrint(logger_, 1, L"above the default threshold");
    SetDword(L"LogLevel", 7);
    ASSERT_TRUE(WaitFor([&] { return logger_->GetThreshold() == 7; }, 15000));
    const uint8_t two[] = {0x0A, 0xFF};
    auto dump = [&](const wchar_t* format, va_list args) { logger_->DumpV(7, two, 2, format, args); };
    LogPrint(logger_, 8, L"above the threshold");
    LogPrint(logger_, 0, L"error %u", 12u);
    LogPrint(logger_, 0, L"device %s", L"Speakers\r\n2026.05.13 00:00:00.000 forged\u2028\\x0d\xdc00");  // one line
    LogPrint(logger_, 7, L"seven");
    LogPrint(logger_, 0, L"");  // writes nothing at all
    Call([&](const wchar_t* f, va_list a) { logger_->LogLabeledV(nullptr, f, a); }, L"no label %d", 5);
    LogPrint(logger_, 0, L"%s", (std::wstring(4094, L'a') + L"\xd83d\xde00").c_str());  // cut in the pair
    Call(dump, L"dump %d", 7);

    SetValue(L"LogLevel", 0, nullptr, 0);  // reloads, and a read-only key, do not create it again
    SetDword(L"RotationLogFileNumber", 150);
    ASSERT_TRUE(WaitFor([&] { return logger_->GetRotationFileNumber() == 99; }, 15000));
    SetKeyAccess(L"D:P(A;OICI;KR;;;WD)");  // read only
    CZkLogger reader(L"");
    EXPECT_TRUE(reader.OpenSettingsKey());
    EXPECT_EQ(reader.GetRotationFileNumber(), 99u);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"LogLevel", RRF_RT_ANY, nullptr, nullptr, nullptr),
              static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
    SetKeyAccess(L"D:(A;OICI;KA;;;WD)");
    ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKey), 0);  // the key made again is the one watched
    SetDword(L"LogLevel", 3);
    ASSERT_TRUE(WaitFor([&] { return logger_->GetThreshold() == 3; }, 15000));

    LogPrint(logger_, 0, L"idle from here");
    const DWORD written = GetTickCount();
    auto closed = [&] {  // an exclusive open succeeds only once the writer has closed the file
        return CHandleHolder(CreateFileW(File().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)).is_valid();
    };
    ASSERT_TRUE(WaitFor(closed, 15000));  // more than 2 s idle, seen at the watcher's 4 s time-out
    EXPECT_GE(GetTickCount() - written, 2000u);
    std::vector<std::wstring> lines = ReadLog(File());
    ASSERT_EQ(lines.size(), 11u);  // a line end, the header's two lines, seven lines, nothing after the last line end
    // "Build " + the compiler's date stamp ("May 13 2026") + ". " + the system line, under Wine
    // "Windows 7 (build 7601), 64-bit x86" unless the prefix is configured otherwise
    wchar_t system[kSystemDescriptionChars];
    DescribeSystem(system);
    const std::wregex header(LR"(\d+\|SERVICE\|Build [A-Z][a-z]{2} [ 1-3]\d \d{4}\. )"
                             LR"(Windows [^(]+ \(build \d+\)(, (32|64)-bit (x86|ARM))?)");
    EXPECT_TRUE(std::regex_match(lines[1], header) && lines[1].substr(lines[1].size() - wcslen(system)) == system)
        << lines[1];
    // the message column is that of the widest prefix so far: "[LOGLEVEL:7 ]: " once that was written
    const std::wstring t = std::to_wstring(GetCurrentThreadId()) + L"|";
    // the second: who writes the file (the test program here)
    const std::wregex identity(LR"(\d+\|SERVICE\|zksndapi \d+\.\d+\.\d+\.\d+ \(build \S+\); host log_tests\.exe, )"
                               LR"(process \d+, session \d+)");
    EXPECT_TRUE(std::regex_match(lines[2], identity)) << lines[2];
    const std::wstring expected[] = {L"?", lines[1], lines[2], t + L"ERROR|  error 12",
                                     t + L"ERROR|  device Speakers\\x0d\\x0a2026.05.13 00:00:00.000 forged\\u2028"
                                         L"\\\\x0d\\udc00",
                                     t + L"LOGLEVEL:7 |seven",
                                     t + L"|             no label 5", t + L"ERROR|      " + std::wstring(4094, L'a'),
                                     t + L"LOGLEVEL:7| dump 7 0a ff", t + L"ERROR|      idle from here", L"?"};
    EXPECT_EQ(lines, std::vector<std::wstring>(expected, expected + 11));

    ASSERT_TRUE(DeleteFileW(File().c_str()));
    LogPrint(logger_, 0, L"new file");
    Stop();
    SetDword(L"LogLevel", 7);
    Start(0);
    LogPrint(logger_, 0, L"restarted");
    Call(dump, L"");  // the prefix stays open: no message, no line end
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    lines = ReadLog(File());
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_TRUE(std::regex_match(lines[1], header)) << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], identity)) << lines[2];
    EXPECT_EQ(std::vector<std::wstring>(lines.begin() + 3, lines.end()),
              (std::vector<std::wstring>{t + L"ERROR|      new file", t + L"ERROR|  restarted", t + L"LOGLEVEL:7|"}));
}

// A flood of ERROR lines from one statement (a service sending thousands of
// unknown events, say, whatever numbers they carry): at most kRepeatsPerWindow
// of them a second reach the shared log, every one held back is counted in a
// report, and lines of other statements pass.
TEST_F(LoggerTest, RepeatedErrorLinesAreLimitedAndCounted) {
    Start(0);
    const DWORD start = GetTickCount();
    for (int k = 0; k < 3000; ++k) {
        LogPrint(logger_, 0, L"sndapi: unknown event 0, cmd %u", k % 7);
        const std::wstring other = L"other " + std::to_wstring(k);  // more kinds than the limit keeps slots for
        if (k % 100 == 0) LogPrint(logger_, 0, other.c_str());
    }
    const DWORD windows = (GetTickCount() - start) / CZkLogger::kRepeatWindowMs + 2;
    Stop();  // reports what is still held back
    const std::wregex report(LR"(\d+\|ERROR\|  sndapi: CZkLogger::LimitRepeats: \(\d+\): (\d+) more lines like )"
                             LR"(this one suppressed \(at most 10 a second\): sndapi: unknown event 0, cmd \d)");
    uint32_t passed = 0, suppressed = 0, others = 0;
    std::wsmatch m;
    for (const std::wstring& line : ReadLog(File())) {
        passed += line.find(L"|  sndapi: unknown event 0") != std::wstring::npos;
        others += line.find(L"|  other ") != std::wstring::npos;
        if (std::regex_match(line, m, report)) suppressed += std::stoul(m[1].str());
    }
    EXPECT_LE(passed, windows * CZkLogger::kRepeatsPerWindow);
    EXPECT_EQ(passed + suppressed, 3000u);
    EXPECT_EQ(others, 30u);
}

// While one thread waits for its ERROR line to reach a stalled file, the
// others go on logging: nobody waits for the file under the logger lock.
TEST_F(LoggerTest, OtherThreadsLogWhileAnErrorLineWaitsForTheFile) {
    SetDword(L"LogLevel", LOG_INFO);
    Start(1);
    CHandleHolder diskBack(lumlib::NewEvent());  // the writer stalls in its next write, as on a disk that hangs
    logger_->GetFileBuffer(0)->SetFileWrite(&StalledWrite, diskBack.get());
    CHandleHolder entering(lumlib::NewEvent()), done(lumlib::NewEvent());
    std::thread erring([&] {
        SetEvent(entering.get());
        LogPrint(logger_, LOG_ERROR, L"the error");  // waits, within its bound, for the stalled writer
        SetEvent(done.get());
    });
    ASSERT_EQ(WaitForSingleObject(entering.get(), 60000), WAIT_OBJECT_0);
    std::vector<bool> returnedWhileWaiting;  // by line, paced by the wait so the error line gets the lock
    do {
        LogPrint(logger_, LOG_INFO, L"info %u", uint32_t(returnedWhileWaiting.size()));
        returnedWhileWaiting.push_back(WaitForSingleObject(done.get(), 0) == WAIT_TIMEOUT);
    } while (returnedWhileWaiting.size() < 5000 && WaitForSingleObject(done.get(), 1) == WAIT_TIMEOUT);
    SetEvent(diskBack.get());
    erring.join();
    Stop();
    // lines queued after the error line (after it in the file) that returned while it still waited
    uint32_t passed = 0;
    bool afterError = false;
    for (const std::wstring& line : ReadLog(File())) {
        afterError = afterError || line.find(L"|ERROR|") != std::wstring::npos;
        const size_t at = line.find(L"|INFO|") != std::wstring::npos ? line.find(L"info ") : std::wstring::npos;
        if (afterError && at != std::wstring::npos) passed += returnedWhileWaiting.at(std::stoul(line.substr(at + 5)));
    }
    EXPECT_GE(passed, 2u);  // before, every line queued after it waited until its wait was over
}

}  // namespace
