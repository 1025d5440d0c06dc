#include "log/ZkLogger.h"

#include <process.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "LoggerTestUtil.h"
#include "log/SystemDescription.h"

namespace {

using logtest::Dump;
using logtest::LogLabeled;

SYSTEMTIME Time(int year, int month, int day, int hour, int minute) {
    SYSTEMTIME t = {};
    t.wYear = WORD(year);
    t.wMonth = WORD(month);
    t.wDay = WORD(day);
    t.wHour = WORD(hour);
    t.wMinute = WORD(minute);
    return t;
}

std::wstring UtcOffset(const SYSTEMTIME& utc, const SYSTEMTIME& local) {
    wchar_t out[64];
    int n = CZkLogger::FormatUtcOffset(out, 64, utc, local);
    EXPECT_EQ(n, static_cast<int>(wcslen(out)));
    return out;
}

TEST(LoggerUtcOffset, HoursFromTheClocksAndMinutesAsDistance) {
    struct Row {
        SYSTEMTIME utc, local;
        const wchar_t* expected;
    } rows[] = {
        {Time(2026, 5, 13, 12, 30), Time(2026, 5, 13, 14, 30), L"(+02:00) "},
        {Time(2026, 5, 13, 22, 30), Time(2026, 5, 14, 0, 30), L"(+02:00) "},   // local already tomorrow
        {Time(2026, 5, 14, 0, 30), Time(2026, 5, 13, 22, 30), L"(-02:00) "},   // local still yesterday
        {Time(2026, 5, 13, 12, 0), Time(2026, 5, 13, 12, 0), L"(+00:00) "},
        {Time(2026, 5, 13, 17, 0), Time(2026, 5, 13, 12, 0), L"(-05:00) "},
        {Time(2026, 5, 13, 5, 0), Time(2026, 5, 13, 10, 30), L"(+05:30) "},
        {Time(2026, 5, 13, 4, 30), Time(2026, 5, 13, 1, 0), L"(-03:30) "},
        {Time(2026, 12, 31, 23, 0), Time(2027, 1, 1, 1, 0), L"(+02:00) "},    // across the year
        {Time(2027, 1, 1, 0, 15), Time(2026, 12, 31, 19, 15), L"(-05:00) "},
        {Time(2026, 4, 30, 22, 0), Time(2026, 5, 1, 0, 0), L"(+02:00) "},     // across the month
        {Time(2026, 5, 13, 22, 0), Time(2026, 5, 14, 12, 0), L"(+14:00) "},
        {Time(2026, 5, 14, 11, 0), Time(2026, 5, 13, 23, 0), L"(-12:00) "},
        {Time(2026, 5, 13, 23, 45), Time(2026, 5, 14, 5, 30), L"(+06:15) "},  // hours and minutes apart
    };
    for (const Row& row : rows)
        EXPECT_EQ(UtcOffset(row.utc, row.local), row.expected)
            << row.local.wDay << " " << row.local.wHour << ":" << row.local.wMinute;
}

TEST(LoggerUtcOffset, CutToTheBuffer) {
    wchar_t out[5];
    CZkLogger::FormatUtcOffset(out, 5, Time(2026, 5, 13, 12, 0), Time(2026, 5, 13, 14, 0));
    EXPECT_STREQ(out, L"(+02");
}

std::wstring Prefix(CZkLogger& logger, uint32_t flags, const wchar_t* label) {
    logger.SetFormatFlags(flags);
    CZkLogger::SetAlignmentWidth(0);
    std::vector<wchar_t> buffer(kLogLineChars, L'#');
    size_t n = logger.FormatPrefix(buffer.data(), label);
    EXPECT_EQ(n, wcslen(buffer.data()));
    return buffer.data();
}

std::wstring Escaped(const std::wstring& text) {
    static const std::wregex special(LR"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, L"\\$&");
}

TEST(LoggerPrefix, EachFieldAndTheirFixedOrder) {
    CZkLogger logger(L"");
    wchar_t user[260] = {};
    DWORD userSize = 260;
    ASSERT_TRUE(GetUserNameW(user, &userSize));
    DWORD session = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
    const std::wstring pid = L"\\[" + std::to_wstring(GetCurrentProcessId()) + L"\\] ";
    const std::wstring tid = L"\\[" + std::to_wstring(GetCurrentThreadId()) + L"\\] ";
    const std::wstring sid = L"\\[" + std::to_wstring(session) + L"\\] ";
    const std::wstring userField = L"\\[" + Escaped(user) + L"\\] ";
    const std::wstring date = LR"(\d{4}\.\d{2}\.\d{2} )";
    const std::wstring time = LR"(\d{2}:\d{2}:\d{2}\.\d{3} )";
    const std::wstring offset = LR"(\([+-]\d{2}:\d{2}\) )";
    const std::wstring label = L"\\[LBL\\]";

    struct Row {
        uint32_t flags;
        std::wstring pattern;
    } rows[] = {
        {0, L""},
        {LogDate, date + L": "},
        {LogTime, time + L": "},
        {LogUtcOffset, offset + L": "},
        {LogProcessId, pid + L": "},
        {LogThreadId, tid + L": "},
        {LogSessionId, sid + L": "},
        {LogUserName, userField + L": "},
        {LogLevelLabel, label + L": "},
        {kLogDefaultFormat, date + time + offset + pid + tid + label + L": "},
        {0x807F, date + time + offset + pid + tid + sid + userField + label + L": "},
        {LogThreadId | LogProcessId, pid + tid + L": "},  // process id first although its bit is higher
    };
    for (const Row& row : rows) {
        std::wstring prefix = Prefix(logger, row.flags, L"LBL");
        EXPECT_TRUE(std::regex_match(prefix, std::wregex(row.pattern))) << std::hex << row.flags;
    }
    // the label needs both its flag and a label
    EXPECT_EQ(Prefix(logger, LogLevelLabel, nullptr), L"");
    EXPECT_TRUE(std::regex_match(Prefix(logger, LogProcessId | LogLevelLabel, nullptr), std::wregex(pid + L": ")));
    EXPECT_EQ(Prefix(logger, LogProcessId, L"LBL").find(L"LBL"), std::wstring::npos);
}

TEST(LoggerPrefix, DateAndTimeComeFromTheLocalClock) {
    CZkLogger logger(L"");
    SYSTEMTIME before;
    GetLocalTime(&before);
    std::wstring prefix = Prefix(logger, LogDate | LogTime, nullptr);
    wchar_t expected[32];
    swprintf_s(expected, 32, L"%.4d.%.2d.%.2d %.2d:", before.wYear, before.wMonth, before.wDay, before.wHour);
    // equal unless the hour turned between the two reads
    if (prefix.compare(0, wcslen(expected), expected) != 0) {
        SYSTEMTIME after;
        GetLocalTime(&after);
        EXPECT_NE(after.wHour, before.wHour) << prefix.c_str();
    }
}

TEST(LoggerPrefix, ShorterPrefixesArePaddedToTheWidestSoFar) {
    CZkLogger logger(L"");
    logger.SetFormatFlags(LogLevelLabel);
    CZkLogger::SetAlignmentWidth(0);
    wchar_t buffer[kLogLineChars];
    struct Step {
        const wchar_t* label;
        const wchar_t* expected;
        uint32_t widthAfter;
    } steps[] = {
        {L"WARNING", L"[WARNING]: ", 11},  // the first prefix sets the width
        {L"INFO", L"[INFO]:    ", 11},
        {L"LOGLEVEL:100 ", L"[LOGLEVEL:100 ]: ", 17},  // a wider one widens the column
        {L"ERROR", L"[ERROR]:         ", 17},
        {L"DEBUG", L"[DEBUG]:         ", 17},
    };
    for (const Step& step : steps) {
        size_t n = logger.FormatPrefix(buffer, step.label);
        EXPECT_STREQ(buffer, step.expected);
        EXPECT_EQ(n, wcslen(step.expected));
        EXPECT_EQ(CZkLogger::GetAlignmentWidth(), step.widthAfter);
    }
    // an empty prefix is all padding
    logger.SetFormatFlags(0);
    logger.FormatPrefix(buffer, L"X");
    EXPECT_EQ(std::wstring(buffer), std::wstring(17, L' '));
}

TEST(LoggerPrefix, OverlongLabelIsCutAtTheBufferEnd) {
    CZkLogger logger(L"");
    std::wstring label(6000, L'L');
    std::wstring prefix = Prefix(logger, LogLevelLabel, label.c_str());
    EXPECT_EQ(prefix.size(), kLogLineChars - 1);
    EXPECT_EQ(prefix.substr(0, 5), L"[LLLL");
}

TEST(LoggerObject, ConstructionDefaults) {
    logtest::TempDir dir;
    CZkLogger logger(dir.Path().c_str());
    DWORD session = 0xFFFFFFFF;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    EXPECT_EQ(logger.GetThreshold(), 0u);
    EXPECT_EQ(logger.GetFormatFlags(), 0u);
    EXPECT_EQ(logger.GetAsyncWrite(), 1u);
    EXPECT_EQ(logger.GetMaxFileSize(), 52428800u);
    EXPECT_EQ(logger.GetRotationFileNumber(), 10u);
    EXPECT_EQ(logger.GetMaxLogFiles(), 300u);
    EXPECT_EQ(logger.GetProcessId(), GetCurrentProcessId());
    EXPECT_EQ(logger.GetSessionId(), session);
    EXPECT_STREQ(logger.GetLogDirectory(), dir.Path().c_str());
    EXPECT_STREQ(logger.GetModuleName(), L"zksndapi");
    EXPECT_STREQ(logger.GetSecurityDescriptorString(), L"D:(A;;GA;;;WD)");
    EXPECT_TRUE(logger.GetHeaderText().empty());
    EXPECT_FALSE(logger.HasWorkPool());
    EXPECT_FALSE(logger.HasSettingsWatcher());
    EXPECT_FALSE(logger.IsEnabled(0));
    EXPECT_EQ(logger.GetFileBuffer(0), nullptr);

    CZkLogger nullDirectory(nullptr);
    EXPECT_STREQ(nullDirectory.GetLogDirectory(), L"");
}

TEST(LoggerObject, WithoutAFileBufferNothingIsWritten) {
    logtest::TempDir dir;
    CZkLogger* logger = CZkLogger::New(dir.Path().c_str());
    ASSERT_NE(logger, nullptr);
    logger->SetFormatFlags(kLogDefaultFormat);
    SetLastError(4242);
    LogPrint(logger, 0, L"goes nowhere %u", 1u);
    EXPECT_EQ(GetLastError(), 4242u);
    LogLabeled(logger, L"X", L"goes nowhere");
    EXPECT_EQ(GetLastError(), 4242u);
    Dump(logger, 0, "ab", 2, L"dump");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    LogPrint(nullptr, 0, L"no logger at all %s", L"x");
    delete logger;
    EXPECT_EQ(GetFileAttributesW((dir.Path() + L"zksndapi.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(LoggerObject, WorkPoolIsCreatedOnceAndClosedWithTheLogger) {
    CZkLogger* logger = new CZkLogger(L"");
    ASSERT_TRUE(logger->InitWorkPool());
    EXPECT_TRUE(logger->HasWorkPool());
    EXPECT_TRUE(logger->InitWorkPool());  // a second call keeps the pool it has
    delete logger;                         // must not hang on the pool
}

TEST(LoggerObject, DirectoryTooLongForTheBasePathIsRefused) {
    // 251 characters plus "zksndapi" fill the 260-character path exactly; one more does not fit
    logtest::TempDir dir;
    ASSERT_LT(dir.Path().size(), 200u);
    std::wstring fits = dir.Path() + std::wstring(250 - dir.Path().size(), L'd') + L"\\";
    std::wstring tooLong = dir.Path() + std::wstring(251 - dir.Path().size(), L'd') + L"\\";
    ASSERT_EQ(fits.size(), 251u);
    ASSERT_EQ(tooLong.size(), 252u);
    CZkLogger a(fits.c_str());
    EXPECT_TRUE(a.AddFileBuffer());
    EXPECT_NE(a.GetFileBuffer(0), nullptr);
    CZkLogger b(tooLong.c_str());
    EXPECT_FALSE(b.AddFileBuffer());
    EXPECT_FALSE(b.IsEnabled(0));
    LogPrint(&b, 0, L"dropped");
}

// ---- lines in real files ----------------------------------------------------

struct ParsedLine {
    bool ok = false;
    uint32_t pid = 0, tid = 0;
    std::wstring label;
    size_t padding = 0;
    size_t messageColumn = 0;
    std::wstring message;
};

// A line under the default flags: date, time, offset, pid, tid, [label]: , padding, message.
ParsedLine Parse(const std::wstring& line, bool withLabel = true) {
    static const std::wregex labeled(
        LR"(^\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \([+-]\d{2}:\d{2}\) \[(\d+)\] \[(\d+)\] \[([^\]]*)\]: ( *)(.*)$)");
    static const std::wregex unlabeled(
        LR"(^\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \([+-]\d{2}:\d{2}\) \[(\d+)\] \[(\d+)\] ()?: ( *)(.*)$)");
    ParsedLine p;
    std::wsmatch m;
    if (!std::regex_match(line, m, withLabel ? labeled : unlabeled)) return p;
    p.ok = true;
    p.pid = static_cast<uint32_t>(std::stoul(m[1].str()));
    p.tid = static_cast<uint32_t>(std::stoul(m[2].str()));
    p.label = m[3].str();
    p.padding = m[4].length();
    p.messageColumn = static_cast<size_t>(m.position(5));
    p.message = m[5].str();
    return p;
}

class LoggerFileTest : public ::testing::Test {
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
    void Start(uint32_t async) { logger_ = logtest::StartLogger(dir_.Path(), async); }
    void Stop() {
        delete logger_;
        logger_ = nullptr;
    }
    std::wstring LogFile() const { return dir_.Path() + L"zksndapi.txt"; }
    std::wstring Text() const { return logtest::ReadUtf16(LogFile()); }

    // The log lines after the header; the file must end with a line end.
    std::vector<std::wstring> Lines() {
        std::vector<std::wstring> lines = logtest::SplitLines(Text());
        if (lines.size() < 3) {
            ADD_FAILURE() << "no header in the file";
            return {};
        }
        EXPECT_EQ(lines[0], L"");  // the header starts with a line end
        header_ = lines[1];
        EXPECT_EQ(lines.back(), L"") << "the file does not end with a line end";
        return std::vector<std::wstring>(lines.begin() + 2, lines.end() - 1);
    }

    logtest::TempDir dir_;
    CZkLogger* logger_ = nullptr;
    std::wstring header_;
};

TEST_F(LoggerFileTest, HeaderComesFirstWithBuildStampAndSystemLine) {
    Start(0);
    LogPrint(logger_, 0, L"first");
    const std::wstring& header = logger_->GetHeaderText();
    ASSERT_GE(header.size(), 4u);
    EXPECT_EQ(header.substr(0, 2), L"\r\n");
    EXPECT_EQ(header.substr(header.size() - 2), L"\r\n");
    EXPECT_EQ(Text().substr(0, header.size()), header);

    wchar_t description[kSystemDescriptionChars];
    DescribeSystem(description);
    std::vector<std::wstring> lines = Lines();
    ParsedLine h = Parse(header_);
    ASSERT_TRUE(h.ok) << header_.c_str();
    EXPECT_EQ(h.label, L"SERVICE");
    EXPECT_EQ(h.padding, 0u);  // the first prefix of the process sets the column
    // "Build " + the compiler's date stamp (e.g. "May 13 2026") + ". " + the system line
    std::wsmatch m;
    ASSERT_TRUE(std::regex_match(h.message, m, std::wregex(LR"(Build ([A-Z][a-z]{2} [ 1-3]\d \d{4})\. (.*))")))
        << h.message.c_str();
    EXPECT_EQ(m[2].str(), description);
}

TEST_F(LoggerFileTest, DefaultThresholdWritesErrorsOnly) {
    Start(0);
    EXPECT_EQ(logger_->GetThreshold(), 0u);
    EXPECT_TRUE(logger_->IsEnabled(0));
    EXPECT_FALSE(logger_->IsEnabled(1));
    LogPrint(logger_, 3, L"sndapi: CTest::Run: (%u): not written", 10u);
    LogPrint(logger_, 1, L"sndapi: CTest::Run: (%u): not written", 11u);
    LogPrint(logger_, 0, L"sndapi: CTest::Run: (%u): written %s", 12u, L"wide");
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    ParsedLine p = Parse(lines[0]);
    ASSERT_TRUE(p.ok) << lines[0].c_str();
    EXPECT_EQ(p.label, L"ERROR");
    EXPECT_EQ(p.message, L"sndapi: CTest::Run: (12): written wide");
    EXPECT_EQ(p.pid, GetCurrentProcessId());
    EXPECT_EQ(p.tid, GetCurrentThreadId());
    // "SERVICE" is two characters longer than "ERROR": the message lines up with the header's
    EXPECT_EQ(p.padding, 2u);
    EXPECT_EQ(p.messageColumn, Parse(header_).messageColumn);
}

TEST_F(LoggerFileTest, LevelLabelsUpToTheThreshold) {
    logtest::SetDword(L"LogLevel", 7);
    Start(0);
    EXPECT_TRUE(logger_->IsEnabled(7));
    EXPECT_FALSE(logger_->IsEnabled(8));
    for (uint32_t level = 0; level <= 9; ++level) LogPrint(logger_, level, L"level %u", level);
    LogPrint(logger_, 0xFFFFFFFF, L"never");
    const wchar_t* labels[] = {L"ERROR",       L"WARNING",     L"INFO",        L"DEBUG",
                               L"LOGLEVEL:4 ", L"LOGLEVEL:5 ", L"LOGLEVEL:6 ", L"LOGLEVEL:7 "};
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 8u);
    size_t column = Parse(header_).messageColumn;
    for (size_t i = 0; i < lines.size(); ++i) {
        ParsedLine p = Parse(lines[i]);
        ASSERT_TRUE(p.ok) << lines[i].c_str();
        EXPECT_EQ(p.label, labels[i]);
        EXPECT_EQ(p.message, L"level " + std::to_wstring(i));
        // the column follows the widest prefix so far
        size_t own = p.messageColumn - p.padding;
        if (own > column) column = own;
        EXPECT_EQ(p.messageColumn, column) << i;
    }
}

TEST_F(LoggerFileTest, EmptyMessagesWriteNothing) {
    Start(0);
    LogPrint(logger_, 0, L"");
    LogPrint(logger_, 0, L"%s", L"");
    LogPrint(logger_, 0, nullptr);
    LogLabeled(logger_, L"X", L"");
    LogPrint(logger_, 0, L"only line");
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Parse(lines[0]).message, L"only line");
}

TEST_F(LoggerFileTest, LongMessagesAreCutTo4095Characters) {
    Start(0);
    std::wstring big(5000, L'a');
    big[4094] = L'Z';
    LogPrint(logger_, 0, L"%s", big.c_str());
    LogPrint(logger_, 0, L"%s", std::wstring(4095, L'b').c_str());
    LogPrint(logger_, 0, L"%s", std::wstring(4096, L'c').c_str());
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Parse(lines[0]).message, big.substr(0, 4095));
    EXPECT_EQ(Parse(lines[1]).message, std::wstring(4095, L'b'));
    EXPECT_EQ(Parse(lines[2]).message, std::wstring(4095, L'c'));
}

TEST_F(LoggerFileTest, LastErrorIsKeptAcrossLogging) {
    logtest::SetDword(L"LogLevel", 1);
    Start(0);
    SetLastError(4321);
    LogPrint(logger_, 0, L"written");
    EXPECT_EQ(GetLastError(), 4321u);
    LogPrint(logger_, 3, L"filtered");
    EXPECT_EQ(GetLastError(), 4321u);
    LogLabeled(logger_, L"L", L"labeled");
    EXPECT_EQ(GetLastError(), 4321u);
    LogPrint(logger_, 0, L"");
    EXPECT_EQ(GetLastError(), 4321u);
    EXPECT_EQ(Lines().size(), 2u);
}

TEST_F(LoggerFileTest, LabeledLinesIgnoreTheThreshold) {
    Start(0);
    LogLabeled(logger_, L"CUSTOM", L"value %d", -5);
    LogLabeled(logger_, nullptr, L"no label %s", L"here");
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    ParsedLine custom = Parse(lines[0]);
    ASSERT_TRUE(custom.ok) << lines[0].c_str();
    EXPECT_EQ(custom.label, L"CUSTOM");
    EXPECT_EQ(custom.message, L"value -5");
    // no bracketed label, but still ": " after the thread id
    ParsedLine bare = Parse(lines[1], false);
    ASSERT_TRUE(bare.ok) << lines[1].c_str();
    EXPECT_EQ(bare.message, L"no label here");
    EXPECT_NE(lines[1].find(L"] : "), std::wstring::npos);
    EXPECT_EQ(bare.messageColumn, Parse(header_).messageColumn);
}

TEST_F(LoggerFileTest, DumpsAppendEveryByteInHex) {
    Start(0);
    const uint8_t two[] = {0x0A, 0xFF};
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
    std::wstring allHex;
    for (size_t i = 0; i < all.size(); ++i) {
        wchar_t part[4];
        swprintf_s(part, 4, L" %.2x", static_cast<unsigned>(i));
        allHex += part;
    }

    SetLastError(777);
    Dump(logger_, 0, nullptr, 0, L"empty dump %u", 1u);
    EXPECT_EQ(GetLastError(), 777u);
    Dump(logger_, 0, two, 2, L"two bytes");
    EXPECT_EQ(GetLastError(), 777u);
    Dump(logger_, 0, all.data(), 256, L"all");  // grows the scratch buffer
    Dump(logger_, 0, two, 1, L"one again");   // and reuses it
    Dump(logger_, 3, two, 2, L"filtered");
    EXPECT_EQ(GetLastError(), 777u);

    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 4u);
    const wchar_t* expected[] = {L"empty dump 1", L"two bytes 0a ff", L"all", L"one again 0a"};
    for (size_t i = 0; i < 4; ++i) {
        ParsedLine p = Parse(lines[i]);
        ASSERT_TRUE(p.ok) << lines[i].c_str();
        EXPECT_EQ(p.label, L"ERROR");
        EXPECT_EQ(p.message, i == 2 ? std::wstring(L"all") + allHex : std::wstring(expected[i]));
    }
}

TEST_F(LoggerFileTest, DumpLabelOfHighLevelsHasNoBlank) {
    logtest::SetDword(L"LogLevel", 7);
    Start(0);
    const uint8_t byte = 0x5c;
    Dump(logger_, 7, &byte, 1, L"dump");
    LogPrint(logger_, 7, L"line");
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Parse(lines[0]).label, L"LOGLEVEL:7");
    EXPECT_EQ(Parse(lines[0]).message, L"dump 5c");
    EXPECT_EQ(Parse(lines[1]).label, L"LOGLEVEL:7 ");
}

TEST_F(LoggerFileTest, DumpWithoutMessageLeavesThePrefixOpen) {
    Start(0);
    const uint8_t two[] = {0x0A, 0xFF};
    SetLastError(5);
    Dump(logger_, 0, two, 2, L"");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Dump(logger_, 0, two, 2, L"%s", std::wstring(5000, L'x').c_str());  // a cut message counts as bad
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    Dump(logger_, 0, nullptr, 3, L"no data");  // bytes promised but none given: the line still ends
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    LogPrint(logger_, 0, L"after");

    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    // three prefixes on one line: the two open dumps, then the dump of nothing
    static const std::wregex prefix(LR"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \([+-]\d{2}:\d{2}\) \[\d+\] \[\d+\] \[ERROR\]:   )");
    std::wstring rest = lines[0];
    for (int i = 0; i < 2; ++i) {
        std::wsmatch m;
        ASSERT_TRUE(std::regex_search(rest, m, prefix, std::regex_constants::match_continuous)) << lines[0].c_str();
        rest = m.suffix().str();
    }
    ParsedLine last = Parse(rest);
    ASSERT_TRUE(last.ok) << rest.c_str();
    EXPECT_EQ(last.message, L"no data");
    EXPECT_EQ(Parse(lines[1]).message, L"after");
    EXPECT_EQ(lines[0].find(L" 0a"), std::wstring::npos);
}

struct ThreadJob {
    CZkLogger* logger;
    uint32_t index;
    uint32_t lines;
    DWORD tid;
    HANDLE start;
};

unsigned __stdcall LogFromThread(void* context) {
    ThreadJob* job = static_cast<ThreadJob*>(context);
    job->tid = GetCurrentThreadId();
    WaitForSingleObject(job->start, INFINITE);
    for (uint32_t i = 0; i < job->lines; ++i) {
        std::wstring filler(i % 40, L'x');
        LogPrint(job->logger, 0, L"thread %u line %u %s end", job->index, i, filler.c_str());
    }
    return 0;
}

TEST_F(LoggerFileTest, LinesFromEightThreadsNeverInterleave) {
    Start(1);
    const uint32_t kThreads = 8, kLines = 250;
    CHandleHolder go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<ThreadJob> jobs(kThreads);
    std::vector<HANDLE> threads;
    for (uint32_t t = 0; t < kThreads; ++t) {
        jobs[t] = {logger_, t, kLines, 0, go.Get()};
        HANDLE h = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, LogFromThread, &jobs[t], 0, nullptr));
        ASSERT_NE(h, nullptr);
        threads.push_back(h);
    }
    SetEvent(go);
    WaitForMultipleObjects(kThreads, threads.data(), TRUE, INFINITE);
    for (HANDLE h : threads) CloseHandle(h);
    Stop();  // drains the queue into the file

    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), kThreads * kLines);
    std::vector<uint32_t> next(kThreads, 0);
    static const std::wregex message(LR"(thread (\d) line (\d+) (x*) end)");
    for (const std::wstring& line : lines) {
        ParsedLine p = Parse(line);
        ASSERT_TRUE(p.ok) << line.c_str();
        std::wsmatch m;
        ASSERT_TRUE(std::regex_match(p.message, m, message)) << line.c_str();
        uint32_t t = std::stoul(m[1].str()), i = std::stoul(m[2].str());
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(p.tid, jobs[t].tid);
        EXPECT_EQ(i, next[t]) << "lines of one thread out of order";
        EXPECT_EQ(m[3].length(), static_cast<long>(i % 40));
        next[t] = i + 1;
    }
}

TEST_F(LoggerFileTest, QueuedLinesAreWrittenBeforeTheLoggerGoes) {
    Start(1);
    const uint32_t kLines = 3000;
    for (uint32_t i = 0; i < kLines; ++i) LogPrint(logger_, 0, L"queued %u", i);
    Stop();
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), kLines);
    for (uint32_t i = 0; i < kLines; ++i) ASSERT_EQ(Parse(lines[i]).message, L"queued " + std::to_wstring(i));
}

bool CanOpenExclusively(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

TEST_F(LoggerFileTest, IdleFileIsClosedAndReopenedWithoutHeader) {
    Start(0);
    LogPrint(logger_, 0, L"before idle");
    const DWORD written = GetTickCount();
    EXPECT_FALSE(CanOpenExclusively(LogFile())) << "the file stays open between writes";
    // the watcher closes it after more than 2 s without a write, at its next 4 s time-out
    ASSERT_TRUE(logtest::WaitFor([&] { return CanOpenExclusively(LogFile()); }, 20000));
    const DWORD elapsed = GetTickCount() - written;
    EXPECT_GE(elapsed, 2000u);
    EXPECT_LE(elapsed, 15000u);

    LogPrint(logger_, 0, L"after idle");
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Parse(lines[1]).message, L"after idle");
}

TEST_F(LoggerFileTest, FolderIsCreatedAtAnyDepth) {
    std::wstring nested = dir_.Path() + L"one\\two\\three\\";
    logger_ = logtest::StartLogger(nested, 0);
    LogPrint(logger_, 0, L"deep");
    std::vector<std::wstring> lines = logtest::SplitLines(logtest::ReadUtf16(nested + L"zksndapi.txt"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(Parse(lines[2]).message, L"deep");
}

}  // namespace
