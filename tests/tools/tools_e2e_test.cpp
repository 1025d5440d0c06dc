// tessaline-emu and zksndctl end to end: child processes with their output in a file, judged by exit code
// and output, and a raw client of the emulator's pipe.

#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "support/lumlib.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/RawPipeClient.h"
#include "tests/support/SharedLog.h"
#include "tests/support/TestPipeServer.h"
#include "tools/common/ConsoleOut.h"
#include "virt/api/SndProtocol.h"

namespace {

using zk_testkit::CTempFile;
using zk_testkit::ReadFileText;
using zk_testkit::UniquePipeName;
const size_t npos = std::string::npos;

DWORD ignored = 0;
bool WriteFileText(const std::wstring& path, const std::string& text) {
    return zktools::WriteWholeFile(path, text.data(), text.size(), &ignored);
}

// Runs the program once per row (arguments, exit code, a part of the output) and checks both. No output
// carries the raw ESC, CR or LF of the device name below, nor the progress line meant for consoles only.
// zksndctl loads the library through the contract monitor (MonitoredApi.cpp), unless a row names a --dll:
// a broken callback rule fails the row.
void ExpectRuns(const wchar_t* program, const std::vector<std::tuple<std::wstring, int, const char*>>& rows) {
    for (const auto& [given, exitCode, message] : rows) {
        const bool monitored = std::wstring(program) == L"zksndctl.exe" && given.find(L"--dll") == std::wstring::npos;
        const std::wstring arguments = (monitored ? L"--dll zksndapi_monitored.dll " : L"") + given;
        zk_testkit::CChildProcess child;  // run to its end: -1 when still running after a minute
        const int code = child.Start(std::wstring(program) + L" " + arguments) ? child.Wait(60000) : -2;
        const std::string output = child.Output();
        EXPECT_EQ(exitCode, code) << output;
        EXPECT_NE(npos, output.find(message)) << output;
        for (const char* raw : {"\x1b", "X\rY", "Y\nZ", "waiting for", "callback contract"})
            EXPECT_EQ(npos, output.find(raw)) << arguments.c_str() << ": " << output;
    }
}

// tessaline-emu on a pipe of its own or the service's, told to stop through its control events.
class CEmulator : public zk_testkit::CChildProcess {
public:
    explicit CEmulator(bool servicePipe = false)
        : pipe(servicePipe ? zk_testkit::kServicePipeName : UniquePipeName(L"emu")), path(L"\\\\.\\pipe\\" + pipe) {}
    ~CEmulator() { Stop(); }
    // Returns once the pipe is served (the emulator sets NAME.ready).
    bool Start(const std::wstring& options = L"") {
        CHandleHolder ready(::CreateEventW(nullptr, TRUE, FALSE, (m_control + L".ready").c_str()));
        return CChildProcess::Start(L"tessaline-emu.exe --pipe " + pipe + L" --control " + m_control + L" " + options) &&
               ::WaitForMultipleObjects(2, std::array<HANDLE, 2>{ready.get(), m_process.get()}.data(), FALSE, 30000) == WAIT_OBJECT_0;
    }
    bool Signal(const wchar_t* action) {
        CHandleHolder event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (m_control + L"." + action).c_str()));
        return event.is_valid() && ::SetEvent(event.get());
    }
    // Stops it cleanly: its exit code, or -1 when it did not end.
    int Stop() {
        Signal(L"stop");
        return Wait(30000);
    }

    const std::wstring pipe, path, m_control = UniquePipeName(L"ctl");
};

using zk_testkit::Message;
using CRawClient = zk_testkit::CRawPipeClient;

// A get-settings request under that number, zeroed whole.
std::vector<uint8_t> GetSettings(uint32_t number) { return Message(SndBuildGetSettings, number, size_t(0)); }

// Asks for the device list and reads it to its end: "id def render extra [name] " per device.
std::string RequestDevices(CRawClient& client) {
    std::string devices, next = client.Ask(Message(SndBuildGetDeviceList));
    while (devices.size() < 100000 && next.compare(0, 7, "device ") == 0) {
        devices += next.substr(7) + " ";
        next = client.Next();
    }
    EXPECT_EQ("event " + std::to_string(eZkSndRdpVLastDeviceInfo), next) << "the device list did not end";
    return devices;
}

// The built-in list: two render devices, the first of them the default, then the default capture device.
const std::string kBuiltInList = "0 1 1 0 [Speakers (Tessaline Remote Audio)] 1 0 1 0 [Headphones (Tessaline Remote Audio)] "
                                 "2 1 0 0 [Microphone (Tessaline Remote Audio)] ";

// One emulator with a settings file, and clients it greets:
// - each reply goes back to the connection that asked, with its request id; the file keeps the record;
// - an empty frame and a message shorter than a header are ignored, an unknown command gets
//   ERROR_INVALID_FUNCTION, a cut set-settings request ERROR_INVALID_PARAMETER and stores nothing; a
//   frame announcing more than any message may hold ends that connection only. Bad starts of a second
//   emulator exit with their codes and messages; the running one serves on untouched;
// - control events reach every client, and after a drop new clients are served; the traffic lines
//   compare a claimed session with the pipe's (Wine answers GetNamedPipeClientSessionId with this
//   process's session, like Windows for a local client).
TEST(EmulatorServing, AnswersEachConnectionAndBadInputAndTellsItsTraffic) {
    const CTempFile settingsFile{L"settings"};
    CEmulator emu;
    CRawClient a, b;
    ASSERT_TRUE(emu.Start(L"--settings-file " + settingsFile.Quoted())) << "the emulator did not start";
    ASSERT_EQ("event 1", a.Connect(emu.path)) << "the server information greets every connection";
    ASSERT_EQ("event 1", b.Connect(emu.path)) << "the server information greets every connection";
    DWORD mine = 0;
    ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &mine)) << ::GetLastError();
    ASSERT_TRUE(a.Send(Message(SndBuildSetSessionId, mine))) << "a's session id not sent";
    ASSERT_TRUE(b.Send(Message(SndBuildSetSessionId, mine + 7))) << "b's session id not sent";  // one the pipe contradicts

    std::string record, got;
    ASSERT_TRUE(a.Send(GetSettings(41))) << "a's request not sent";
    ASSERT_TRUE(b.Send(GetSettings(42))) << "b's request not sent";
    EXPECT_EQ("reply 42 (10): status 0", b.Next()) << "b's reply";
    EXPECT_EQ("reply 41 (10): status 0", a.Next(&got)) << "a's reply";
    EXPECT_EQ(std::string(kSndSettingsSize, '\0'), got) << "the record before any write";
    for (size_t i = 0; i < kSndSettingsSize; ++i) record += static_cast<char>(i * 7 + 3);
    EXPECT_EQ("reply 43 (9): status 0", a.Ask(Message(SndBuildSetSettings, record.data(), 43))) << "the write's reply";
    EXPECT_EQ("reply 44 (10): status 0", b.Ask(GetSettings(44), &got)) << "b's second reply";
    EXPECT_EQ(record, got) << "b reads what a wrote";
    EXPECT_EQ(record, ReadFileText(settingsFile.path)) << "the settings file";

    std::vector<uint8_t> unknown = GetSettings(9);
    SndStoreU32(unknown.data(), kSndOffCommand, 55);
    std::vector<uint8_t> cut = Message(SndBuildSetSettings, nullptr, 10);
    cut.resize(100);
    for (const std::vector<uint8_t>& message : {std::vector<uint8_t>(), std::vector<uint8_t>{6, 0, 0, 0, 0, 0}, unknown, cut})
        ASSERT_TRUE(a.Send(message)) << message.size() << " bytes not sent";
    EXPECT_EQ("reply 9 (55): status 1", a.Next()) << "the unknown command's reply";
    EXPECT_EQ("reply 10 (9): status 87", a.Next()) << "the cut set-settings request's reply";
    EXPECT_EQ("reply 11 (10): status 0", a.Ask(GetSettings(11), &got)) << "a read after them";
    EXPECT_EQ(record, got) << "the cut request stored something";
    ASSERT_TRUE(a.Send({0xFF, 0xFF, 0xFF, 0x7F}, false)) << "the length field not sent";
    EXPECT_EQ("closed", a.Next()) << "a's connection after the oversized frame";
    const CTempFile badFile(L"bad");
    ASSERT_TRUE(WriteFileText(badFile.path, "render 1 0 0 A\nspeaker 2 0 0 B\n")) << "the bad file not written";
    ExpectRuns(L"tessaline-emu.exe", {
        {L"--pipe " + emu.pipe, 3, "the pipe is already served"},
        {L"--devices " + badFile.Quoted(), 4, "line 2: kind 'speaker'"},
        {L"--settings-file " + badFile.Quoted(), 4, "holds 31 bytes"},
        {L"--signal " + UniquePipeName(L"none") + L" stop", 5, "no emulator runs"},
    });
    EXPECT_EQ(kBuiltInList, RequestDevices(b)) << "b after a's oversized frame and the bad starts";

    CRawClient c;
    ASSERT_EQ("event 1", c.Connect(emu.path)) << "a new client's greeting";
    ASSERT_TRUE(emu.Signal(L"unknown")) << "the unknown event not signalled";
    EXPECT_EQ("event 9", b.Next()) << "b's notification";
    EXPECT_EQ("event 9", c.Next()) << "c's notification";
    ASSERT_TRUE(emu.Signal(L"drop")) << "the drop event not signalled";
    EXPECT_EQ("closed", b.Next()) << "b after the drop";
    CRawClient d;
    ASSERT_EQ("event 1", d.Connect(emu.path)) << "a new client's greeting after the drop";
    EXPECT_EQ(kBuiltInList, RequestDevices(d)) << "the new client's list";
    EXPECT_EQ(0, emu.Stop()) << "the exit code of a stop with a client connected";
    const std::string output = emu.Output(), m = std::to_string(mine), other = std::to_string(mine + 7);
    for (const std::string& line : {"[client 1] connected (pipe: session " + m + ")",
                                    "<- nCmdSetSessionId (0): session " + m + " (pipe: session " + m + ")",
                                    "<- nCmdSetSessionId (0): session " + other + " [warning: the pipe reports session " + m + "]",
                                    std::string("<- nCmdGetDeviceList (7)"),
                                    std::string("-> eZkSndRdpVLastDeviceInfo (3): end of 3 devices"),
                                    "disconnected (session " + other + ")"})
        EXPECT_NE(npos, output.find(line)) << line << "\n" << output;
}

// One run with four answer options at once (--devices and --drop-after: CommandsAgainstTheEmulator and
// the drop_after_2 row of ZksndctlFaults).
TEST(Emulator, AnswerOptions) {
    CEmulator emu;
    ASSERT_TRUE(emu.Start(L"--withhold get-settings --set-status 1168 --unknown-event 7 --delay 400"))
        << "the emulator did not start";
    CRawClient client;
    ASSERT_EQ("event 1", client.Connect(emu.path)) << "the greeting";
    EXPECT_EQ("event 7", client.Next()) << "the unknown event follows the greeting";

    EXPECT_EQ("timeout", client.Ask(GetSettings(5), nullptr, 1500)) << "--withhold get-settings";
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ("reply 6 (9): status 1168", client.Ask(Message(SndBuildSetSettings, nullptr, 6))) << "--set-status";
    EXPECT_GE(::GetTickCount64() - start, 350u) << "the reply was not held back by --delay";
}

using zk_testkit::CSavedSettingsKey;

// zksndctl under each of the emulator's faults at LogLevel 3 (or 0, which status raises to 1 for its
// run and puts back): status's exit code and first failed row, the cause it names, in text and again
// in JSON, and the lines the library must leave in its log. The probe opens the pipe itself, then the
// library's connection must survive the session id, answer a settings read within the library's 3 s
// and end a device list within --timeout. down_watch: the connection goes and comes back; down: status
// while the service is away (a client of the test's took the greeting that sent it away: no pipe).
struct FaultRow {
    const char* name;
    const wchar_t* fault;  // the emulator's options
    const wchar_t* command;
    int exitCode;
    const char* row;
    const char* cause;     // status: what the failed row's cause must name
    // Each "LEVEL|part" names a line of the log that carries "[LEVEL]" before the part; "!part": no line carries the part.
    std::vector<const char*> log;
    DWORD level = 3;
    bool awayFirst = false;
};

class ZksndctlFaults : public testing::TestWithParam<FaultRow> {};

TEST_P(ZksndctlFaults, NameTheFailedStageAndLeaveTheirStoryInTheLog) {
    const FaultRow& r = GetParam();
    CSavedSettingsKey saved;
    ASSERT_TRUE(saved.SetLevel(r.level)) << "LogLevel not set";
    CEmulator emu(true);
    ASSERT_TRUE(emu.Start(std::wstring(L"--quiet ") + r.fault)) << "the emulator did not start";
    if (r.awayFirst) {
        CRawClient first;
        ASSERT_EQ("event 1", first.Connect(emu.path)) << "the greeting";
        ASSERT_EQ("closed", first.Next()) << "the service did not go away";
    }
    const size_t before = zk_testkit::ReadSharedLogText().size();
    const std::wstring command = L"--timeout 2000 " + std::wstring(r.command);
    ExpectRuns(L"zksndctl.exe", {{command, r.exitCode, r.row}});
    if (r.cause != nullptr)
        ExpectRuns(L"zksndctl.exe", {{command, r.exitCode, r.cause}, {L"--json " + command, r.exitCode, r.cause}});
    DWORD levelAfter = 99, size = sizeof(levelAfter);
    ::RegGetValueW(saved.key.get(), nullptr, L"LogLevel", RRF_RT_REG_DWORD, nullptr, &levelAfter, &size);
    EXPECT_EQ(r.level, levelAfter) << "LogLevel was not put back";
    std::wstring log = zk_testkit::ReadSharedLogText();  // the runs' lines (all, when it was rotated meanwhile)
    if (before <= log.size()) log.erase(0, before);
    for (const std::string wanted : r.log) {
        const size_t bar = wanted[0] == '!' ? 0 : wanted.find('|');  // "!part": no level
        const std::wstring level(wanted.begin(), wanted.begin() + bar), part(wanted.begin() + bar + 1, wanted.end());  // ASCII
        EXPECT_EQ(wanted[0] != '!', zk_testkit::LogLines(log, level, part) > 0) << r.fault << ": " << wanted << "\n" << log;
    }
}

const char* const kConnected = "INFO|connected to the service: server process ";

const char* const kClosed = "s: the service closed it (error ";  // 109 on a read, 232 on a write

const FaultRow kFaultRows[] = {
    {"none", L"", L"status", 0, "result          ok", nullptr,
     {"INFO|); host zksndctl.exe, process ", kConnected, "INFO|s: teardown.", "![WARNING]", "![ERROR]"}},
    {"churn", L"--fault churn", L"status", 45, "session     failed   the connection broke after the session id went out",
     kClosed, {kConnected, "WARNING|the service closed it (error "}},
    {"raw_length", L"--fault raw-length", L"status", 45, "session     failed",
     "frame of 4294967280 bytes is longer than 1048576 bytes; connection dropped.", {kConnected, "WARNING|s: a frame was refused."}},
    // LogLevel 0: the cause is a WARNING line, which status raises the level for
    {"short_frames", L"--fault short-frames", L"status", 45, "session     failed", "s: this side dropped it.",
     {"WARNING|s: this side dropped it."}, 0},
    {"huge_notification", L"--fault huge-notification", L"status", 45, "session     failed",
     "frame of 67108864 bytes is longer than 1048576 bytes", {"WARNING|s: a frame was refused."}},
    // a connection that breaks right after the settings reply: the list's loss is a loss, every run
    {"drop_after_2", L"--drop-after 2", L"status", 45, "devices     failed   the connection was lost before the list ended",
     kClosed, {"WARNING|the service closed it (error "}},
    // a list request the connection's end cut is answered at once: not connected, not the timeout's 4
    {"drop_after_2_devices", L"--withhold device-list --drop-after 2", L"devices", 30,
     "device list: not connected to the service", nullptr, {}},
    {"stop_reading", L"--fault stop-reading", L"status", 46, "settings    failed   general failure (status 1) after",
     "ZkSndGetSettings returned status 1; underlying code 1168 (ERROR_NOT_FOUND)", {kConnected}},
    {"slow_replies", L"--fault slow-replies", L"status", 46, "no reply within the library's 3 s wait",
     "ZkSndGetSettings returned status 1; underlying code 1168 (ERROR_NOT_FOUND)", {kConnected}},
    {"get_status_5", L"--get-status 5", L"status", 46, "settings    failed   access denied (status 8)",
     "ZkSndGetSettings returned status 8; underlying code 5 (ERROR_ACCESS_DENIED)", {kConnected}},
    // the service's ERROR_ACCESS_DENIED as the exit code of a command that reads the settings
    {"get_status_5_settings_get", L"--get-status 5", L"settings get", 18, "access denied (status 8)", nullptr,
     {"WARNING|ZkSndGetSettings returned status 8"}},
    {"withhold_device_list", L"--withhold device-list", L"status", 47, "devices     failed   the list did not end within 2000 ms",
     "the service did not end the list", {kConnected}},
    {"watch", L"", L"watch --seconds 2", 0, "device (300): id 0, render, default", nullptr, {kConnected}},
    {"down", L"--fault down:60", L"status", 41, "pipe        failed", "(error 2): no process serves it now", {}, 3, true},
    {"down_watch", L"--fault down:3", L"watch --seconds 8", 0, "connection lost (6)", nullptr,
     {"WARNING|s: the service closed it", "WARNING|cannot connect to the service (attempt 1): no pipe",
      "INFO|failed attempts and "}},
};
INSTANTIATE_TEST_SUITE_P(Modes, ZksndctlFaults, testing::ValuesIn(kFaultRows),
                         [](const testing::TestParamInfo<FaultRow>& row) { return std::string(row.param.name); });

// The documented exit codes while nothing serves the service's pipe. Then the commands against the
// emulator, with device names that carry non-ASCII letters, control characters (ESC and CR raw in the
// device file, LF, TAB, DEL and a C1 control as its escapes) and a bidirectional override: they must
// reach the screen (and the log tail) as visible escapes, never raw (ExpectRuns looks at every output);
// then the settings through a file, and the log level under a key the user may only read.
TEST(Zksndctl, FailsWithTheDocumentedExitCodesThenCommandsAgainstTheEmulator) {
    CSavedSettingsKey saved;
    const CTempFile file(L"record");  // a settings record: first one byte short
    ASSERT_TRUE(WriteFileText(file.path, std::string(335, 'x'))) << "the short settings file not written";
    ExpectRuns(L"zksndctl.exe", {
        {L"frobnicate", 2, "unknown command 'frobnicate'"},
        {L"--dll tessaline-emu.exe locked", 3, "lacks the export(s) ZkSndVApiInit"},
        {L"--dll nothere.dll --json locked", 3, "\\\\bin\\\\nothere.dll: "},  // resolved to a full path, as JSON
        {L"settings set " + file.Quoted(), 5, "holds 335 bytes"},
        // No pipe: at once, whatever --timeout says (a run is given up after a minute).
        {L"--timeout 120000 devices", 30, "not connected to the service (status 20): the service's pipe"},
        {L"watch", 30, "is absent (is the service or tessaline-emu running?)"},
    });
    const CTempFile devices(L"devices");
    ASSERT_TRUE(WriteFileText(devices.path, "\xEF\xBB\xBFrender 0 1 0 Haut-parleurs \xC3\xA9tage 2\n"  // UTF-8, marked
                                            "capture 5 0 0 Evil\x1b[31mX\rY\\nZ\\t\\x7f\\x9b\xE2\x80\xAE\xD8\x9CW\n"))
        << "the device file not written";
    CEmulator emu(true);
    ASSERT_TRUE(emu.Start(L"--devices " + devices.Quoted())) << "the emulator did not start";
    ExpectRuns(L"zksndctl.exe", {
        {L"log level 3", 0, "log level set to 3 (DEBUG)"},
        {L"--json log level", 0, "{\"level\": 3, \"name\": \"DEBUG\", \"set\": true}"},
        {L"devices", 0, "yes      render   0      Haut-parleurs \xC3\xA9tage 2"},
        {L"devices", 0, "Evil\\x1b[31mX\\rY\\nZ\\t\\x7f\\u009b\\u202e\\u061cW"},
        {L"set-default 5", 0, "default device: 5 \"Evil\\x1b[31mX\\rY\\nZ\\t\\x7f\\u009b\\u202e\\u061cW\""},
        {L"set-default 99", 9, "the service does not list device 99"},
        {L"--json set-default 99 --force", 0, "{\"device\": 99, \"default\": false, \"name\": null}"},
        // the default set by an earlier run; the unlisted 99 changed nothing
        {L"--json devices", 0, "{\"id\": 5, \"default\": true, \"kind\": \"capture\", \"extra\": 0, "
                               "\"name\": \"Evil\\u001b[31mX\\rY\\nZ\\t\x7f\xC2\x9B\xE2\x80\xAE\xD8\x9CW\"}"},
        {L"--json devices", 0, "{\"id\": 0, \"default\": true, \"kind\": \"render\""},  // one default per flow
        {L"status", 0, "server          \"Tessaline service emulator\", version 1.0"},
        {L"status", 0, "log_level   ok       3 (DEBUG), REG_DWORD"},
        // The UTF-16 log, as UTF-8 here: the device lines the library wrote at level 3.
        {L"log tail -n 400 --follow --seconds 1", 0, "devName: Haut-parleurs \xC3\xA9tage 2."},  // then ends
        {L"log tail -n 400", 0, "Evil\\x1b[31mX\\x0dY\\x0aZ\\x09\\x7f\\x9b\\u202e\\u061cW."},  // the library escaped them when it logged
    });
    // The settings record round trip through the file: read, changed, written, read back.
    ExpectRuns(L"zksndctl.exe", {{L"settings get --out " + file.Quoted(), 0, ""}});
    std::string record = ReadFileText(file.path);
    ASSERT_EQ(336u, record.size()) << "the record read";
    record[17] = static_cast<char>(record[17] ^ 0x5A);
    record[335] = 'z';
    ASSERT_TRUE(WriteFileText(file.path, record)) << "the changed record not written";
    ExpectRuns(L"zksndctl.exe", {{L"settings set " + file.Quoted(), 0, ""}});
    ASSERT_TRUE(::DeleteFileW(file.path.c_str())) << ::GetLastError();
    ExpectRuns(L"zksndctl.exe", {{L"settings get --out " + file.Quoted(), 0, ""},
                                 {L"settings get", 0, "0010  00 5a"}});  // a hex dump, 16 bytes a line
    EXPECT_EQ(record, ReadFileText(file.path)) << "the record read back";
    // A level stored as a type the library does not read is told as such, not as unset.
    const ULONGLONG wide = 3;
    ASSERT_EQ(0, ::RegSetValueExW(saved.key.get(), L"LogLevel", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&wide), 8));
    ExpectRuns(L"zksndctl.exe", {{L"log level", 0, "LogLevel is a REG_QWORD the library does not read"}});
    ASSERT_TRUE(saved.SetLevel(3)) << "LogLevel not put back";
    // A user who may not write the key: changing the level is refused with its exit code, reading still works.
    ASSERT_TRUE(saved.MakeReadOnly()) << "the key's DACL not changed";
    ExpectRuns(L"zksndctl.exe", {{L"log level 1", 7, "setting the log level needs an administrator"},
                                 {L"log level", 0, "log level 3 (DEBUG)"}});  // nothing changed
}

}  // namespace
