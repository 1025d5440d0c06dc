#include "log/ZkLogger.h"

#include <process.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "LoggerTestUtil.h"
#include "log/SystemDescription.h"

namespace {

void Labeled(IZkLogger* logger, const wchar_t* label, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    logger->LogLabeledV(label, format, args);
    va_end(args);
}

void Dump(IZkLogger* logger, uint32_t level, const void* data, uint32_t size, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    logger->DumpV(level, data, size, format, args);
    va_end(args);
}

SYSTEMTIME At(int month, int day, int hour, int minute, int year = 2026) {
    SYSTEMTIME t = {};
    t.wYear = WORD(year), t.wMonth = WORD(month), t.wDay = WORD(day), t.wHour = WORD(hour), t.wMinute = WORD(minute);
    return t;
}

TEST(LoggerPrefix, UtcOffsetFromTheTwoClocks) {
    struct {
        SYSTEMTIME utc, local;
        const wchar_t* expected;
    } rows[] = {
        {At(5, 13, 12, 30), At(5, 13, 14, 30), L"(+02:00) "},  {At(5, 13, 22, 30), At(5, 14, 0, 30), L"(+02:00) "},
        {At(5, 14, 0, 30), At(5, 13, 22, 30), L"(-02:00) "},   {At(5, 13, 12, 0), At(5, 13, 12, 0), L"(+00:00) "},
        {At(5, 13, 5, 0), At(5, 13, 10, 30), L"(+05:30) "},    {At(5, 13, 4, 30), At(5, 13, 1, 0), L"(-03:30) "},
        {At(12, 31, 23, 0), At(1, 1, 1, 0, 2027), L"(+02:00) "}, {At(4, 30, 22, 0), At(5, 1, 0, 0), L"(+02:00) "},
        {At(5, 13, 22, 0), At(5, 14, 12, 0), L"(+14:00) "},   {At(5, 14, 11, 0), At(5, 13, 23, 0), L"(-12:00) "},
        {At(5, 13, 23, 45), At(5, 14, 5, 30), L"(+06:15) "},  // hours and minutes are taken separately
    };
    wchar_t out[64];
    for (const auto& row : rows) {
        EXPECT_EQ(CZkLogger::FormatUtcOffset(out, 64, row.utc, row.local), 9);
        EXPECT_STREQ(out, row.expected) << row.local.wDay << " " << row.local.wHour << ":" << row.local.wMinute;
    }
}

std::wstring Prefix(CZkLogger& logger, uint32_t flags, const wchar_t* label) {
    logger.SetFormatFlags(flags);
    CZkLogger::SetAlignmentWidth(0);
    std::vector<wchar_t> buffer(kLogLineChars, L'#');
    size_t n = logger.FormatPrefix(buffer.data(), label);
    EXPECT_EQ(n, wcslen(buffer.data()));
    return buffer.data();
}

TEST(LoggerPrefix, FieldsInTheirFixedOrder) {
    CZkLogger logger(L"");
    wchar_t user[260] = {};
    DWORD size = 260, session = 0;
    ASSERT_TRUE(GetUserNameW(user, &size) && ProcessIdToSessionId(GetCurrentProcessId(), &session));
    auto field = [](const std::wstring& v) { return L"\\[" + v + L"\\] "; };
    const std::wstring date = LR"(\d{4}\.\d{2}\.\d{2} )", time = LR"(\d{2}:\d{2}:\d{2}\.\d{3} )",
                       offset = LR"(\([+-]\d{2}:\d{2}\) )", pid = field(std::to_wstring(GetCurrentProcessId())),
                       tid = field(std::to_wstring(GetCurrentThreadId())), sid = field(std::to_wstring(session)),
                       name = field(std::regex_replace(std::wstring(user), std::wregex(LR"([.^$|()\[\]{}*+?\\])"), L"\\$&"));
    const struct {
        uint32_t flags;
        std::wstring pattern;
    } rows[] = {
        {0, L""}, {LogDate, date + L": "}, {LogTime, time + L": "}, {LogUtcOffset, offset + L": "},
        {LogProcessId, pid + L": "}, {LogThreadId, tid + L": "}, {LogSessionId, sid + L": "},
        {LogUserName, name + L": "}, {LogLevelLabel, L"\\[LBL\\]: "},
        {LogThreadId | LogProcessId, pid + tid + L": "},  // process id first, although its bit is higher
        {kLogDefaultFormat, date + time + offset + pid + tid + L"\\[LBL\\]: "},
        {0x807F, date + time + offset + pid + tid + sid + name + L"\\[LBL\\]: "},
    };
    for (const auto& row : rows)
        EXPECT_TRUE(std::regex_match(Prefix(logger, row.flags, L"LBL"), std::wregex(row.pattern))) << row.flags;
    // the label needs both its flag and a label
    EXPECT_EQ(Prefix(logger, LogLevelLabel, nullptr), L"");
    EXPECT_TRUE(std::regex_match(Prefix(logger, LogProcessId | LogLevelLabel, nullptr), std::wregex(pid + L": ")));
    EXPECT_EQ(Prefix(logger, LogLevelLabel, std::wstring(6000, L'L').c_str()).size(), kLogLineChars - 1);
}

TEST(LoggerPrefix, ShorterPrefixesArePaddedToTheWidestSoFar) {
    CZkLogger logger(L"");
    logger.SetFormatFlags(LogLevelLabel);
    CZkLogger::SetAlignmentWidth(0);
    const struct {
        const wchar_t *label, *expected;
        uint32_t width;
    } steps[] = {
        {L"WARNING", L"[WARNING]: ", 11},  // the first prefix sets the width
        {L"INFO", L"[INFO]:    ", 11},
        {L"LOGLEVEL:100 ", L"[LOGLEVEL:100 ]: ", 17},
        {L"ERROR", L"[ERROR]:         ", 17},
        {nullptr, L"                 ", 17},
    };
    wchar_t buffer[kLogLineChars];
    for (const auto& step : steps) {
        EXPECT_EQ(logger.FormatPrefix(buffer, step.label), wcslen(step.expected));
        EXPECT_STREQ(buffer, step.expected);
        EXPECT_EQ(CZkLogger::GetAlignmentWidth(), step.width);
    }
}

TEST(LoggerObject, DefaultsAndLifeWithoutAFile) {
    logtest::TempDir dir;
    CZkLogger* logger = CZkLogger::New(dir.Path().c_str());
    ASSERT_NE(logger, nullptr);
    DWORD session = 0xFFFFFFFF;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    EXPECT_EQ(logger->GetThreshold() + logger->GetFormatFlags(), 0u);
    EXPECT_EQ(logger->GetAsyncWrite(), 1u);
    EXPECT_EQ(logger->GetMaxFileSize(), 52428800u);
    EXPECT_EQ(logger->GetRotationFileNumber(), 10u);
    EXPECT_EQ(logger->GetMaxLogFiles(), 300u);
    EXPECT_EQ(logger->GetSessionId(), session);
    EXPECT_STREQ(logger->GetLogDirectory(), dir.Path().c_str());
    EXPECT_STREQ(logger->GetSecurityDescriptorString(), L"D:(A;;GA;;;WD)");
    EXPECT_FALSE(logger->HasWorkPool() || logger->HasSettingsWatcher() || logger->IsEnabled(0));

    logger->SetFormatFlags(kLogDefaultFormat);
    SetLastError(4242);
    LogPrint(logger, 0, L"goes nowhere %u", 1u);
    Labeled(logger, L"X", L"goes nowhere");
    EXPECT_EQ(GetLastError(), 4242u);
    Dump(logger, 0, "ab", 2, L"dump");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    LogPrint(nullptr, 0, L"no logger at all");

    ASSERT_TRUE(logger->InitWorkPool());
    EXPECT_TRUE(logger->HasWorkPool() && logger->InitWorkPool());
    delete logger;  // closes the pool without hanging
    EXPECT_EQ(GetFileAttributesW((dir.Path() + L"zksndapi.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(LoggerObject, DirectoryTooLongForTheBasePathIsRefused) {
    // 251 characters and "zksndapi" fill the 260-character path; one more does not fit
    logtest::TempDir dir;
    std::wstring fits = dir.Path() + std::wstring(250 - dir.Path().size(), L'd') + L"\\";
    CZkLogger a(fits.c_str()), b((fits.substr(0, 250) + L"d\\").c_str());
    EXPECT_TRUE(a.AddFileBuffer());
    EXPECT_FALSE(b.AddFileBuffer());
    EXPECT_TRUE(a.GetFileBuffer(0) != nullptr && b.GetFileBuffer(0) == nullptr);
}

// date time (offset) [pid] [tid] [label]: padding message
const std::wregex kLine(LR"(^\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \([+-]\d{2}:\d{2}\) \[(\d+)\] \[(\d+)\] (\[([^\]]*)\])?: ( *)(.*)$)");
struct Line {
    bool ok = false;
    uint32_t tid = 0;
    std::wstring label, message;
    size_t padding = 0, column = 0;
};
Line Parse(const std::wstring& text) {
    Line l;
    std::wsmatch m;
    if (!std::regex_match(text, m, kLine)) return l;
    l.ok = std::stoul(m[1].str()) == GetCurrentProcessId();
    l.tid = std::stoul(m[2].str()), l.label = m[4].str(), l.padding = m[5].length(), l.message = m[6].str();
    l.column = static_cast<size_t>(m.position(6));
    return l;
}

class LoggerFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        logtest::DeleteSettingsKey();
        CZkLogger::SetAlignmentWidth(0);
    }
    void TearDown() override {
        Stop();
        logtest::DeleteSettingsKey();
    }
    void Start(uint32_t async, DWORD level = 0) {
        if (level) logtest::SetDword(L"LogLevel", level);
        logger_ = logtest::StartLogger(dir_.Path(), async);
    }
    void Stop() {
        delete logger_;
        logger_ = nullptr;
    }
    std::wstring File() const { return dir_.Path() + L"zksndapi.txt"; }
    // The lines after the header; the file must start with the header and end with a line end.
    std::vector<std::wstring> Lines() {
        std::vector<std::wstring> all = logtest::ReadLines(File());
        if (all.size() < 3 || !all[0].empty() || !all.back().empty()) {
            ADD_FAILURE() << "no header or no final line end";
            return {};
        }
        header_ = Parse(all[1]);
        return std::vector<std::wstring>(all.begin() + 2, all.end() - 1);
    }
    logtest::TempDir dir_;
    CZkLogger* logger_ = nullptr;
    Line header_;
};

TEST_F(LoggerFileTest, HeaderThenErrorsOnlyAtTheDefaultThreshold) {
    Start(0);
    EXPECT_TRUE(logger_->IsEnabled(0) && !logger_->IsEnabled(1));
    LogPrint(logger_, 3, L"sndapi: CTest::Run: (%u): not written", 10u);
    LogPrint(logger_, 1, L"sndapi: CTest::Run: (%u): not written", 11u);
    LogPrint(logger_, 0, L"sndapi: CTest::Run: (%u): written %s", 12u, L"wide");
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_TRUE(header_.ok);
    wchar_t system[kSystemDescriptionChars];
    DescribeSystem(system);
    // "Build " + the compiler's date stamp ("May 13 2026") + ". " + the system line
    EXPECT_TRUE(std::regex_match(header_.message, std::wregex(LR"(Build [A-Z][a-z]{2} [ 1-3]\d \d{4}\. )" +
                                                              std::regex_replace(std::wstring(system), std::wregex(LR"([.()\\])"), L"\\$&"))))
        << header_.message.c_str();
    EXPECT_EQ(header_.label + std::to_wstring(header_.padding), L"SERVICE0");
    Line line = Parse(lines[0]);
    ASSERT_TRUE(line.ok) << lines[0].c_str();
    EXPECT_EQ(line.label, L"ERROR");
    EXPECT_EQ(line.message, L"sndapi: CTest::Run: (12): written wide");
    EXPECT_EQ(line.tid, GetCurrentThreadId());
    EXPECT_EQ(line.padding, 2u);  // "SERVICE" is two longer than "ERROR"
    EXPECT_EQ(line.column, header_.column);
}

TEST_F(LoggerFileTest, LevelLabelsUpToTheThresholdAndTheMessageColumn) {
    Start(0, 7);
    EXPECT_TRUE(logger_->IsEnabled(7) && !logger_->IsEnabled(8));
    for (uint32_t level = 0; level <= 9; ++level) LogPrint(logger_, level, L"level %u", level);
    LogPrint(logger_, 0xFFFFFFFF, L"never");
    const wchar_t* labels[] = {L"ERROR", L"WARNING", L"INFO", L"DEBUG", L"LOGLEVEL:4 ", L"LOGLEVEL:5 ", L"LOGLEVEL:6 ", L"LOGLEVEL:7 "};
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 8u);
    size_t column = header_.column;
    for (size_t i = 0; i < lines.size(); ++i) {
        Line l = Parse(lines[i]);
        EXPECT_EQ(l.label, labels[i]);
        EXPECT_EQ(l.message, L"level " + std::to_wstring(i));
        column = std::max(column, l.column - l.padding);  // the widest prefix so far
        EXPECT_EQ(l.column, column) << i;
    }
}

TEST_F(LoggerFileTest, EmptyCutAndLabeledMessagesKeepTheLastError) {
    Start(0);
    SetLastError(4321);
    LogPrint(logger_, 0, L"");
    LogPrint(logger_, 0, L"%s", L"");
    LogPrint(logger_, 0, nullptr);
    Labeled(logger_, L"X", L"");
    std::wstring big(5000, L'a');
    big[4094] = L'Z';
    LogPrint(logger_, 0, L"%s", big.c_str());
    LogPrint(logger_, 0, L"%s", std::wstring(4095, L'b').c_str());
    Labeled(logger_, L"CUSTOM", L"value %d", -5);  // no level filtering
    Labeled(logger_, nullptr, L"no label");
    EXPECT_EQ(GetLastError(), 4321u);
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(Parse(lines[0]).message, big.substr(0, 4095));
    EXPECT_EQ(Parse(lines[1]).message, std::wstring(4095, L'b'));
    EXPECT_EQ(Parse(lines[2]).label + L"|" + Parse(lines[2]).message, L"CUSTOM|value -5");
    // no bracketed label, but still ": ", and the message in its column
    EXPECT_NE(lines[3].find(L"] : "), std::wstring::npos);
    EXPECT_EQ(Parse(lines[3]).message, L"no label");
    EXPECT_EQ(Parse(lines[3]).column, header_.column);
}

TEST_F(LoggerFileTest, DumpsHexBytesAndReportsBadMessages) {
    Start(0, 7);
    const uint8_t two[] = {0x0A, 0xFF};
    std::vector<uint8_t> all(256);
    std::wstring allHex;
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<uint8_t>(i);
        allHex += L" " + std::wstring(1, L"0123456789abcdef"[i >> 4]) + L"0123456789abcdef"[i & 15];
    }
    SetLastError(777);
    Dump(logger_, 0, nullptr, 0, L"empty dump %u", 1u);
    Dump(logger_, 0, two, 2, L"two bytes");
    Dump(logger_, 7, all.data(), 256, L"all");  // grows the scratch buffer
    Dump(logger_, 3, two, 1, L"one");           // and reuses it
    Dump(logger_, 8, two, 2, L"filtered");
    EXPECT_EQ(GetLastError(), 777u);
    Dump(logger_, 0, two, 2, L"");  // the prefix stays open: no message, no line end
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Dump(logger_, 0, two, 2, L"%s", std::wstring(5000, L'x').c_str());  // so does a cut message
    SetLastError(0);
    Dump(logger_, 0, nullptr, 3, L"no data");  // bytes promised, none given: the line still ends
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 5u);
    const wchar_t* expected[] = {L"ERROR|empty dump 1", L"ERROR|two bytes 0a ff", L"LOGLEVEL:7|all", L"DEBUG|one 0a"};
    for (size_t i = 0; i < 4; ++i) {
        Line l = Parse(lines[i]);
        EXPECT_EQ(l.label + L"|" + l.message, i == 2 ? expected[i] + allHex : std::wstring(expected[i]));
    }
    // two open prefixes, then the line of the dump without data
    std::wsmatch m;
    ASSERT_TRUE(std::regex_match(lines[4], m, std::wregex(LR"((\d{4}\..*?\[ERROR\]: +){2}(.*))"))) << lines[4].c_str();
    EXPECT_EQ(Parse(m[2].str()).message, L"no data");
}

struct Writer {
    CZkLogger* logger;
    uint32_t index;
    DWORD tid;
    HANDLE go;
};
const uint32_t kThreadLines = 250;

unsigned __stdcall WriteLines(void* context) {
    Writer* w = static_cast<Writer*>(context);
    w->tid = GetCurrentThreadId();
    WaitForSingleObject(w->go, INFINITE);
    for (uint32_t i = 0; i < kThreadLines; ++i)
        LogPrint(w->logger, 0, L"thread %u line %u %s end", w->index, i, std::wstring(i % 40, L'x').c_str());
    return 0;
}

TEST_F(LoggerFileTest, LinesFromEightThreadsNeverInterleave) {
    Start(1);
    CHandleHolder go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<Writer> writers(8);
    std::vector<HANDLE> threads;
    for (uint32_t t = 0; t < writers.size(); ++t) {
        writers[t] = {logger_, t, 0, go.Get()};
        threads.push_back(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WriteLines, &writers[t], 0, nullptr)));
        ASSERT_NE(threads.back(), nullptr);
    }
    SetEvent(go);
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    for (HANDLE h : threads) CloseHandle(h);
    Stop();  // drains the queue into the file

    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), writers.size() * kThreadLines);
    std::vector<uint32_t> next(writers.size(), 0);
    for (const std::wstring& text : lines) {
        Line l = Parse(text);
        std::wsmatch m;
        ASSERT_TRUE(std::regex_match(l.message, m, std::wregex(LR"(thread (\d) line (\d+) (x*) end)"))) << text.c_str();
        uint32_t t = std::stoul(m[1].str()), i = std::stoul(m[2].str());
        EXPECT_EQ(l.tid, writers[t].tid);
        EXPECT_EQ(i, next[t]++) << "a thread's lines out of order";
        EXPECT_EQ(m[3].length(), static_cast<long>(i % 40));
    }
}

TEST_F(LoggerFileTest, QueuedLinesAreWrittenBeforeTheLoggerGoes) {
    Start(1);
    for (uint32_t i = 0; i < 3000; ++i) LogPrint(logger_, 0, L"queued %u", i);
    Stop();
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 3000u);
    for (uint32_t i = 0; i < 3000; ++i) ASSERT_EQ(Parse(lines[i]).message, L"queued " + std::to_wstring(i));
}

TEST_F(LoggerFileTest, IdleFileIsClosedAndReopenedWithoutHeader) {
    Start(0);
    auto closed = [&] {  // the writer shares the file: an exclusive open succeeds only once it is closed
        HANDLE h = CreateFileW(File().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        return h != INVALID_HANDLE_VALUE && CloseHandle(h);
    };
    LogPrint(logger_, 0, L"before idle");
    const DWORD written = GetTickCount();
    EXPECT_FALSE(closed());
    // more than 2 s without a write: closed at the watcher's next 4 s time-out
    ASSERT_TRUE(logtest::WaitFor(closed, 20000));
    EXPECT_GE(GetTickCount() - written, 2000u);
    EXPECT_LE(GetTickCount() - written, 15000u);
    LogPrint(logger_, 0, L"after idle");
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Parse(lines[1]).message, L"after idle");
}

TEST_F(LoggerFileTest, FolderIsCreatedAtAnyDepth) {
    logger_ = logtest::StartLogger(dir_.Path() + L"one\\two\\", 0);
    LogPrint(logger_, 0, L"deep");
    std::vector<std::wstring> lines = logtest::ReadLines(dir_.Path() + L"one\\two\\zksndapi.txt");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(Parse(lines[2]).message, L"deep");
}

}  // namespace
