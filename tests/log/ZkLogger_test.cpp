#include "LoggerTestUtil.h"

#include <process.h>
#include <sddl.h>

#include <map>

#include "log/SystemDescription.h"

namespace {

// Calls one of the va_list entry points with the arguments after format.
template <typename Entry>
void Call(Entry entry, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    entry(format, args);
    va_end(args);
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
// no values; an idle file is closed, and the next line opens a new one (with a
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
    LogPrint(logger_, 7, L"seven");
    LogPrint(logger_, 0, L"");  // writes nothing at all
    Call([&](const wchar_t* f, va_list a) { logger_->LogLabeledV(nullptr, f, a); }, L"no label %d", 5);
    LogPrint(logger_, 0, L"%s", std::wstring(5000, L'a').c_str());
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

    LogPrint(logger_, 0, L"idle from here");
    const DWORD written = GetTickCount();
    auto closed = [&] {  // an exclusive open succeeds only once the writer has closed the file
        return CHandleHolder(CreateFileW(File().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)).is_valid();
    };
    ASSERT_TRUE(WaitFor(closed, 15000));  // more than 2 s idle, seen at the watcher's 4 s time-out
    EXPECT_GE(GetTickCount() - written, 2000u);
    std::vector<std::wstring> lines = ReadLog(File());
    ASSERT_EQ(lines.size(), 9u);  // a line end, the header, six lines, nothing after the last line end
    // "Build " + the compiler's date stamp ("May 13 2026") + ". " + the system line
    wchar_t system[kSystemDescriptionChars];
    DescribeSystem(system);
    const std::wregex header(LR"(\d+\|SERVICE\|Build [A-Z][a-z]{2} [ 1-3]\d \d{4}\. .*)");
    EXPECT_TRUE(std::regex_match(lines[1], header) && lines[1].substr(lines[1].size() - wcslen(system)) == system)
        << lines[1];
    // the message column is that of the widest prefix so far: "[LOGLEVEL:7 ]: " once that was written
    const std::wstring t = std::to_wstring(GetCurrentThreadId()) + L"|";
    const std::wstring expected[] = {L"?", lines[1], t + L"ERROR|  error 12", t + L"LOGLEVEL:7 |seven",
                                     t + L"|             no label 5", t + L"ERROR|      " + std::wstring(4095, L'a'),
                                     t + L"LOGLEVEL:7| dump 7 0a ff", t + L"ERROR|      idle from here", L"?"};
    EXPECT_EQ(lines, std::vector<std::wstring>(expected, expected + 9));

    ASSERT_TRUE(DeleteFileW(File().c_str()));
    LogPrint(logger_, 0, L"new file");
    Stop();
    SetDword(L"LogLevel", 7);
    Start(0);
    LogPrint(logger_, 0, L"restarted");
    Call(dump, L"");  // the prefix stays open: no message, no line end
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    lines = ReadLog(File());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(std::regex_match(lines[1], header)) << lines[1];
    EXPECT_EQ(std::vector<std::wstring>(lines.begin() + 2, lines.end()),
              (std::vector<std::wstring>{t + L"ERROR|      new file", t + L"ERROR|  restarted", t + L"LOGLEVEL:7|"}));
}

unsigned __stdcall WriteLines(void* logger) {
    for (uint32_t i = 0; i < 250; ++i)
        LogPrint(static_cast<CZkLogger*>(logger), 0, L"line %u %s end", i, std::wstring(i % 40, L'x').c_str());
    return 0;
}

// Eight threads log at once; then this thread adds a last burst and destroys
// the logger at once: every queued line must reach the file.
TEST_F(LoggerTest, LinesFromEightThreadsNeverInterleaveAndQueuedLinesSurvive) {
    Start(1);
    HANDLE threads[8];
    for (HANDLE& h : threads)
        ASSERT_TRUE(h = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WriteLines, logger_, 0, nullptr)));
    WaitForMultipleObjects(8, threads, TRUE, INFINITE);
    for (HANDLE h : threads) CloseHandle(h);  // held until now, so no thread id was reused
    WriteLines(logger_);
    Stop();

    std::vector<std::wstring> lines = ReadLog(File());
    ASSERT_EQ(lines.size(), 9 * 250 + 3u);
    std::map<std::wstring, uint32_t> next;  // by thread id
    for (size_t k = 2; k + 1 < lines.size(); ++k) {
        std::wsmatch m;
        ASSERT_TRUE(std::regex_match(lines[k], m, std::wregex(LR"((\d+)\|ERROR\| *line (\d+) x* end)"))) << lines[k];
        EXPECT_EQ(std::stoul(m[2].str()), next[m[1].str()]++) << "a thread's lines out of order";
    }
    EXPECT_EQ(next.size(), 9u);
}

}  // namespace
