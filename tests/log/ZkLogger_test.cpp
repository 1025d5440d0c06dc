#include "LoggerTestUtil.h"

#include <algorithm>

#include "log/ZkLoggerBuffer.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/LumCapture.h"

namespace {

const uint32_t MB = 1048576, kAbsent = 0xFFFFFFFF;

TEST_F(LoggerTest, EveryBoundOfTheSettings) {
    enum { level, files, size };  // which setting a row checks
    // in order, each row starting from what the rows before left; text: a REG_SZ value instead of the number
    const struct { const wchar_t* name; uint32_t number; const wchar_t* text; int field; uint32_t expected; } rows[] = {
        {L"LogLevel", 0, L"3", level, 3},
        {L"LogLevel", 0, L"12", level, 3},  // more than the 4-byte area holds: unchanged
        {L"RotationLogFileNumber", 0, nullptr, files, 1},
        {L"RotationLogFileNumber", kAbsent, nullptr, files, 10},  // the default again
        {L"RotationLogFileSizeMB", 0, nullptr, size, 1000 * MB},
        {L"RotationLogFileSizeMB", 1001, nullptr, size, 1000 * MB},
        {L"RotationLogFileSizeMB", 5, nullptr, size, 5 * MB},
        {L"RotationLogFileSizeMB", kAbsent, nullptr, size, 5 * MB},  // unchanged
    };
    CZkLogger logger(L"");
    lumlib::unique_hkey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_QUERY_VALUE, nullptr, key.put(), nullptr), 0);
    for (const auto& row : rows) {
        if (row.text) SetValue(row.name, REG_SZ, row.text, DWORD(wcslen(row.text) + 1) * 2);
        else SetValue(row.name, REG_DWORD, row.number == kAbsent ? nullptr : &row.number, 4);
        logger.LoadSettings(key.get(), false);  // as the watcher loads
        const uint32_t got[] = {logger.GetThreshold(), logger.GetRotationFileNumber(), logger.GetMaxFileSize()};
        EXPECT_EQ(got[row.field], row.expected) << row.name << " " << row.number;
    }
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

// Start-up with write access creates the level as a DWORD; later loads, and a
// start-up with a read-only key, create no value.
TEST_F(LoggerTest, OnlyTheFirstStartUpCreatesTheLevel) {
    Start(0);
    DWORD level = 1, size = 4;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"LogLevel", RRF_RT_REG_DWORD, nullptr, &level, &size), 0)
        << "created at start-up";
    EXPECT_EQ(level, 0u) << "the default level";
    SetValue(L"LogLevel", 0, nullptr, 0);
    SetDword(L"RotationLogFileNumber", 150);
    ASSERT_TRUE(WaitFor([&] { return logger_->GetRotationFileNumber() == 99; }, 15000)) << "a reload";
    zk_testkit::CSavedSettingsKey saved;  // its access rules come back at the end
    ASSERT_TRUE(saved.MakeReadOnly());
    CZkLogger reader(L"");
    EXPECT_TRUE(reader.OpenSettingsKey()) << "a read-only key is read";
    EXPECT_EQ(reader.GetRotationFileNumber(), 99u) << "the read-only key's value";
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"LogLevel", RRF_RT_ANY, nullptr, nullptr, nullptr),
              static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) << "neither the reload nor the read-only start-up made it";
}

// Every kind of line, once a level change has reached the running logger: the
// new file's header (two lines), escaped text, a cut message, nothing above the
// level, and a restarted logger's line, appended without a header.
TEST_F(LoggerTest, EveryKindOfLineInTheFile) {
    Start(0);
    SetDword(L"LogLevel", 7);
    ASSERT_TRUE(WaitFor([&] { return logger_->GetThreshold() == 7; }, 15000));
    LogPrint(logger_, 8, L"above the threshold");
    LogPrint(logger_, 0, L"error %u", 12u);
    LogPrint(logger_, 0, L"device %s", L"Speakers\r\n2026.05.13 00:00:00.000 forged\u2028\\x0d\xdc00");  // one line
    LogPrint(logger_, 7, L"seven");
    LogPrint(logger_, 0, L"");  // writes nothing at all
    LogPrint(logger_, 0, L"%s", (std::wstring(4094, L'a') + L"\xd83d\xde00").c_str());  // cut in the pair
    Stop();
    Start(0);
    LogPrint(logger_, 0, L"restarted");
    const std::vector<std::wstring> lines = ReadLog(File());
    ASSERT_EQ(lines.size(), 9u);  // a line end, the header's two lines, five lines, nothing after the last line end
    // The header's first line: "Build " + the compiler's date stamp ("May 13 2026") + ". " + the
    // system line, under Wine "Windows 7 (build 7601), 64-bit x86" unless the prefix is configured otherwise.
    const std::wregex header(LR"(\d+\|SERVICE\|Build [A-Z][a-z]{2} [ 1-3]\d \d{4}\. )"
                             LR"(Windows [^(]+ \(build \d+\)(, (32|64)-bit (x86|ARM))?)");
    EXPECT_TRUE(std::regex_match(lines[1], header)) << lines[1];
    // The second: who writes the file (the test program here).
    const std::wregex identity(LR"(\d+\|SERVICE\|zksndapi \d+\.\d+\.\d+\.\d+ \(build \S+\); host log_tests\.exe, )"
                               LR"(process \d+, session \d+)");
    EXPECT_TRUE(std::regex_match(lines[2], identity)) << lines[2];
    // the message column is that of the widest prefix so far: "[LOGLEVEL:7 ]: " once that was written
    const std::wstring t = std::to_wstring(GetCurrentThreadId()) + L"|";
    const std::wstring expected[] = {L"?", lines[1], lines[2], t + L"ERROR|  error 12",
                                     t + L"ERROR|  device Speakers\\x0d\\x0a2026.05.13 00:00:00.000 forged\\u2028"
                                         L"\\\\x0d\\udc00",
                                     t + L"LOGLEVEL:7 |seven",
                                     t + L"ERROR|      " + std::wstring(4094, L'a'),
                                     t + L"ERROR|  restarted",
                                     L"?"};
    EXPECT_EQ(lines, std::vector<std::wstring>(expected, expected + 9));
}

// A log folder that cannot be resolved at the start (a token or folder query
// failed): no file anywhere, and the lines are counted (that none lands in the
// current directory the fault sweep checks after every round). A later line, a
// second on, asks again; the first line written then says how many were dropped.
TEST_F(LoggerTest, AStartWithoutAFolderIsRetriedAndCountsWhatItDropped) {
    static std::wstring folder;  // read by the resolver, which outlives the test's scope
    logger_ = new CZkLogger(L"");
    logger_->SetFolderResolver([](wchar_t (&out)[MAX_PATH]) { wcscpy_s(out, MAX_PATH, folder.c_str()); });
    logger_->SetAsyncWrite(0);
    EXPECT_FALSE(logger_->AddFileBuffer());
    // A folder the numbered files' names would not fit in with MAX_PATH is refused too.
    const size_t longest = MAX_PATH - 1 - wcslen(L"zksndapi(99).txt");
    for (const size_t size : {longest, longest + 1}) {
        CZkLogger logger((dir_.path + std::wstring(size - dir_.path.size() - 1, L'd') + L"\\").c_str());
        EXPECT_EQ(size == longest, logger.AddFileBuffer()) << "a folder of " << size << " characters";
    }
    LogPrint(logger_, LOG_ERROR, L"dropped");
    folder = dir_.path;
    int calls = 0;
    ASSERT_TRUE(WaitFor([&] { LogPrint(logger_, LOG_ERROR, L"line %d", ++calls); return FileSize(File()) > 0; }, 5000));
    std::wsmatch m;
    const std::wstring text = ReadText(File());
    ASSERT_TRUE(std::regex_search(text, m, std::wregex(LR"(RetryStart: \(\d+\): (\d+) lines were dropped: .*\r\n *line (\d+)\r\n$)")));
    EXPECT_EQ(m[1].str() + L" " + m[2].str(), std::to_wstring(calls) + L" " + std::to_wstring(calls)) << text;
}

// A flood of one ERROR line (a service sending thousands of the same unknown
// event, say): at most kRepeatsPerWindow of them a second reach the shared
// log, every one held back is counted in a report, and other lines pass, the
// same statement with other arguments included. The last window's report
// comes when that window ends, with no later line (nor the stop) to carry it.
TEST_F(LoggerTest, RepeatedErrorLinesAreLimitedAndCounted) {
    Start(0);
    const DWORD start = GetTickCount();
    for (int k = 0; k < 3000; ++k) {
        LogPrint(logger_, 0, L"sndapi: unknown event 0, cmd %u", 7);
        // more kinds than the limit keeps slots for
        if (k % 100 == 0) {
            LogPrint(logger_, 0, L"sndapi: unknown event 0, cmd %u (other)", 1000 + k);
        }
    }
    const DWORD windows = (GetTickCount() - start) / CZkLogger::kRepeatWindowMs + 2;
    // The report comes from the watcher's thread: its id may have more digits than
    // this thread's, so its prefix may be wider and its padding narrower.
    const std::wregex report(LR"(\d+\|ERROR\| +sndapi: CZkLogger::ReportRepeat: \(\d+\): (\d+) more lines like )"
                             LR"(this one suppressed \(at most 10 a second\): sndapi: unknown event 0, cmd 7)");
    uint32_t passed = 0, suppressed = 0, others = 0;
    const auto allCounted = [&] {
        passed = 0;
        suppressed = 0;
        others = 0;
        std::wsmatch m;
        for (const std::wstring& line : ReadLog(File())) {
            passed += line.find(L"|  sndapi: unknown event 0, cmd 7") != std::wstring::npos;
            others += line.find(L"(other)") != std::wstring::npos && line.find(L"ReportRepeat") == std::wstring::npos;
            if (std::regex_match(line, m, report)) {
                suppressed += std::stoul(m[1].str());
            }
        }
        return passed + suppressed == 3000u;
    };
    EXPECT_TRUE(WaitFor(allCounted, 5000)) << "held-back lines not reported when their window ended: " << passed << " + "
                                           << suppressed;
    EXPECT_LE(passed, windows * CZkLogger::kRepeatsPerWindow);
    EXPECT_EQ(others, 30u);
    // A report quotes the line's first 159 characters, never half a surrogate pair.
    const std::wstring paired = std::wstring(158, L'x') + L"\U0001F600";
    for (int k = 0; k < 20; ++k) LogPrint(logger_, 0, L"%s", paired.c_str());
    const std::wstring quoted = L"suppressed (at most 10 a second): " + std::wstring(158, L'x');
    EXPECT_TRUE(WaitFor([&] { return ReadText(File()).find(quoted) != std::wstring::npos; }, 5000)) << "no report";
    EXPECT_EQ(ReadText(File()).find(L"\\ud83d"), std::wstring::npos) << "half a pair quoted";
}

// While one thread waits for its ERROR line to reach a stalled file, the
// others go on logging: nobody waits for the file under the logger lock.
TEST_F(LoggerTest, OtherThreadsLogWhileAnErrorLineWaitsForTheFile) {
    SetDword(L"LogLevel", LOG_INFO);
    Start(1);
    CHandleHolder diskBack(lumlib::NewEvent());  // the writer stalls in its next write, as on a disk that hangs
    logger_->GetFileBuffer(0)->SetFileWrite([](void* event, HANDLE file, const void* data, DWORD size, DWORD* written) {
        WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
        return CZkLoggerBuffer::WriteFileLive(nullptr, file, data, size, written);
    }, diskBack.get());
    CHandleHolder entering(lumlib::NewEvent());
    zk_testkit::Background erring([&] {
        SetEvent(entering.get());
        LogPrint(logger_, LOG_ERROR, L"the error");  // waits, within its bound, for the stalled writer
    });
    ASSERT_EQ(WaitForSingleObject(entering.get(), 60000), WAIT_OBJECT_0);
    std::vector<bool> returnedWhileWaiting;  // by line, paced by the wait so the error line gets the lock
    do {
        LogPrint(logger_, LOG_INFO, L"info %u", uint32_t(returnedWhileWaiting.size()));
        returnedWhileWaiting.push_back(!erring.Finished(0));
    } while (returnedWhileWaiting.size() < 5000 && !erring.Finished(1));
    SetEvent(diskBack.get());
    EXPECT_TRUE(erring.Finished(60000)) << "the error line's wait did not end";
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

// The settings watcher sleeps without a time-out: a change reaches it only as
// a registry notification, of the value, then also once the key (or the key
// above it) was deleted and made again, when a second change shows the watch
// of the key made again armed again. The n-th call of an import may fail for
// a reason that may pass: an arm (the watcher arms the keys above the settings
// key first, from the top, then the settings key), armed again a second later;
// the watcher's thread start or its event, at LogLevel 0, tried again by a line
// below the level, and said in the file; the level's read after the change (atChange:
// counted from there), read again a second later, and so the file count's after it
// (which keeps the count meanwhile); the settings key's making at the start (it is
// still read where it exists). The level in the key holds from the start.
struct KeyChange { const char* name; const wchar_t* deleted; const char* failing; long nth; bool atChange = false; };  // deleted: the key made again
struct WatcherTest : LoggerTest, ::testing::WithParamInterface<KeyChange> {};

TEST_P(WatcherTest, ALevelChangeWhileTheWatcherSleepsIsSeen) {
    FaultsOnThisProgram();
    SetDword(L"LogLevel", 1);
    SetDword(L"RotationLogFileNumber", 20);
    testkit::FailNthCall(GetParam().failing, GetParam().atChange ? 0 : GetParam().nth);
    Start(1);
    EXPECT_EQ(logger_->GetThreshold(), 1u) << "the level in the key holds from the start";
    if (GetParam().nth != 0 && !GetParam().atChange) {
        EXPECT_TRUE(WaitFor([] { return testkit::ArmedCallFailed(); }, 5000)) << "the call did not fail";
    } else {
        Sleep(300);  // the watcher has long gone to sleep: what follows must wake it
    }
    if (GetParam().atChange) testkit::FailNthCall(GetParam().failing, GetParam().nth);
    SetDword(L"LogLevel", 3);
    EXPECT_TRUE(WaitFor([&] {
        LogPrint(logger_, LOG_DEBUG, L"debug line");
        return ReadText(File()).find(L"debug line") != std::wstring::npos;
    }, 10000)) << "the value's change";
    if (GetParam().atChange) {
        EXPECT_TRUE(testkit::ArmedCallFailed()) << "the read after the change did not fail";
    }
    if (GetParam().failing == std::string("_beginthreadex") || GetParam().failing == std::string("CreateEventW")) {
        EXPECT_NE(ReadText(File()).find(L"the settings watcher could not be started"), std::wstring::npos);
    }
    EXPECT_EQ(logger_->GetRotationFileNumber(), 20u) << "the file count a failed read should have kept";
    ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, GetParam().deleted), 0);
    SetDword(L"LogLevel", 2);
    EXPECT_TRUE(WaitFor([&] { return logger_->GetThreshold() == 2; }, 5000)) << "the change with the key made again";
    SetDword(L"LogLevel", 1);
    EXPECT_TRUE(WaitFor([&] { return logger_->GetThreshold() == 1; }, 5000)) << "the change after it";
    testkit::StopFailing();
}

INSTANTIATE_TEST_SUITE_P(Changes, WatcherTest,
                         ::testing::Values(KeyChange{"ParentMadeAgain", L"Software\\Zelkor", "", 0},
                                           KeyChange{"SettingsKeyArmFails", kSettingsKey, "RegNotifyChangeKeyValue", 3},
                                           KeyChange{"ParentArmFails", kSettingsKey, "RegNotifyChangeKeyValue", 2},
                                           // the writer's thread first, then the watcher's
                                           KeyChange{"WatcherStartFails", kSettingsKey, "_beginthreadex", 2},
                                           KeyChange{"WatcherEventFails", kSettingsKey, "CreateEventW", 2},
                                           KeyChange{"LevelReadFails", kSettingsKey, "RegQueryValueExW", 1, true},
                                           KeyChange{"FileCountReadFails", kSettingsKey, "RegQueryValueExW", 2, true},
                                           KeyChange{"KeyCannotBeMadeAtStart", kSettingsKey, "RegCreateKeyExW", 1}),
                         ModeName<KeyChange>);

// The idle close is due kIdleCloseMs after the last line, not after the first
// (ERROR lines are written through: the ticks below are the writes'). Lines
// that come as the close is due (just before, at, just after it) race it, and
// a burst after them lingers in the writer when the stop comes: every line
// reaches the file, reopened when it was closed.
TEST_F(LoggerTest, TheFileClosesOnceIdleSinceTheLastLineAndNoLineIsLost) {
    SetDword(L"LogLevel", LOG_INFO);
    Start(1);
    LogPrint(logger_, 0, L"first");
    Sleep(CZkLoggerBuffer::kIdleCloseMs / 2);  // the line after it, while the close is due for the first
    const DWORD last = GetTickCount();  // before the line: its write may come well before the call returns
    LogPrint(logger_, 0, L"last");
    // Closed once idle: an exclusive open succeeds only once the writer has closed the file.
    const auto closed = [&] { return CHandleHolder(CreateFileW(File().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)).is_valid(); };
    ASSERT_TRUE(WaitFor(closed, 15000)) << "closed once idle";
    EXPECT_GE(GetTickCount() - last, CZkLoggerBuffer::kIdleCloseMs) << "not before the last line was idle that long";
    const DWORD gaps[] = {CZkLoggerBuffer::kIdleCloseMs - 10, CZkLoggerBuffer::kIdleCloseMs,
                          CZkLoggerBuffer::kIdleCloseMs + 10};
    for (DWORD gap : gaps) {
        LogPrint(logger_, 0, L"line after %u ms", gap);
        Sleep(gap);  // the pace of the scenario, not a wait for a result
    }
    const int kBurst = 5000;  // no line wakes the writer: the stop must start it
    for (int k = 0; k < kBurst; ++k) LogPrint(logger_, LOG_INFO, L"lingering %d", k);
    Stop();
    const std::wstring text = ReadText(File());
    for (DWORD gap : gaps)
        EXPECT_NE(text.find(L"line after " + std::to_wstring(gap) + L" ms"), std::wstring::npos) << gap;
    const std::vector<std::wstring> lines = ReadLog(File());
    const auto lingering = std::count_if(lines.begin(), lines.end(), [](const std::wstring& line) {
        return line.find(L"|INFO|") != std::wstring::npos;
    });
    EXPECT_EQ(lingering, kBurst);
}

}  // namespace
