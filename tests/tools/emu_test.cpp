// tessaline-emu end to end: started as a child process, spoken to over its pipe.
#include <cstring>

#include "tests/tools/ToolsTestKit.h"

using namespace tools_test;

namespace {

std::vector<uint8_t> GetSettingsRequest(uint32_t requestId) {
    std::vector<uint8_t> request(kSndStandardRequestSize);
    EXPECT_EQ(request.size(), SndBuildGetSettings(request.data(), request.size(), requestId));
    return request;
}

std::vector<uint8_t> SetSettingsRequest(uint32_t requestId, const uint8_t* record) {
    std::vector<uint8_t> request(kSndSetSettingsRequestSize);
    EXPECT_EQ(request.size(), SndBuildSetSettings(request.data(), request.size(), record, requestId));
    return request;
}

std::vector<uint8_t> SetDefaultRequest(uint32_t device) {
    std::vector<uint8_t> request(kSndSetDefaultRequestSize);
    EXPECT_EQ(request.size(), SndBuildSetDefaultDevice(request.data(), request.size(), device));
    return request;
}

SndDecodedMsg Decode(const std::vector<uint8_t>& m) {
    SndDecodedMsg d;
    SndDecodeMessage(m.data(), m.size(), d);
    return d;
}

// A started emulator with one connected client that has had its greeting.
class EmuSession : public ::testing::Test {
protected:
    void StartWith(const std::wstring& options) {
        ASSERT_TRUE(emu.Start(options));
        ASSERT_TRUE(client.Connect(emu.PipePath())) << client.LastError();
    }
    CEmulator emu;
    CRawClient client;
};

TEST_F(EmuSession, GreetsEveryConnectionWithServerInformation) {
    StartWith(L"");
    const std::vector<uint8_t> m = client.Expect();
    const SndDecodedMsg d = Decode(m);
    ASSERT_EQ(SndMsgKind::Notification, d.kind);
    EXPECT_EQ(static_cast<uint32_t>(eZkSndRdpVServerInfo), d.event);
    EXPECT_EQ(0u, d.requestId);
    EXPECT_NE(0u, d.asyncFlag);
    EXPECT_EQ(m.size(), d.size);
    EXPECT_GE(d.payloadSize, 16u);
    // Nothing else is sent unasked.
    std::vector<uint8_t> extra;
    EXPECT_EQ(CRawClient::kTimeout, client.Receive(&extra, 300));
}

TEST_F(EmuSession, ListsTheBuiltInDevicesThenTheEnd) {
    StartWith(L"");
    client.ExpectServerInfo();
    const std::vector<ListedDevice> devices = RequestDevices(client);
    ASSERT_EQ(3u, devices.size());
    EXPECT_EQ(1u, devices[0].def);
    EXPECT_EQ(0u, devices[1].def);
    EXPECT_EQ(0u, devices[2].def);
    EXPECT_NE(0u, devices[0].render);
    EXPECT_NE(0u, devices[1].render);
    EXPECT_EQ(0u, devices[2].render);
    EXPECT_EQ(L"Speakers (Tessaline Remote Audio)", devices[0].name);
    for (size_t i = 0; i < devices.size(); ++i) EXPECT_EQ(i, devices[i].id);
}

TEST_F(EmuSession, SetDefaultMovesTheDefaultToTheChosenDeviceOnly) {
    StartWith(L"");
    client.ExpectServerInfo();
    const std::vector<uint8_t> request = SetDefaultRequest(2);
    ASSERT_TRUE(client.Send(request.data(), request.size()));
    std::vector<ListedDevice> devices = RequestDevices(client);
    ASSERT_EQ(3u, devices.size());
    EXPECT_EQ(0u, devices[0].def);
    EXPECT_EQ(0u, devices[1].def);
    EXPECT_EQ(1u, devices[2].def);

    // A value no device has changes nothing.
    const std::vector<uint8_t> unknown = SetDefaultRequest(77);
    ASSERT_TRUE(client.Send(unknown.data(), unknown.size()));
    devices = RequestDevices(client);
    ASSERT_EQ(3u, devices.size());
    EXPECT_EQ(1u, devices[2].def);
    EXPECT_EQ(0u, devices[0].def + devices[1].def);
}

TEST_F(EmuSession, SettingsRoundTripEchoesEachRequestId) {
    StartWith(L"");
    client.ExpectServerInfo();
    std::vector<uint8_t> request = GetSettingsRequest(41);
    ASSERT_TRUE(client.Send(request.data(), request.size()));
    std::vector<uint8_t> reply = client.Expect();
    SndDecodedMsg d = Decode(reply);
    ASSERT_EQ(SndMsgKind::Reply, d.kind);
    EXPECT_EQ(41u, d.requestId);
    EXPECT_EQ(0u, d.status);
    EXPECT_EQ(static_cast<uint32_t>(nCmdGetSettings), d.command);
    ASSERT_EQ(kSndSettingsReplySize, reply.size());
    const std::vector<uint8_t> zeros(kSndSettingsSize, 0);
    EXPECT_EQ(0, std::memcmp(zeros.data(), reply.data() + kSndOffPayload, kSndSettingsSize));

    uint8_t record[kSndSettingsSize];
    for (uint32_t i = 0; i < kSndSettingsSize; ++i) record[i] = static_cast<uint8_t>(i * 7 + 3);
    request = SetSettingsRequest(42, record);
    ASSERT_TRUE(client.Send(request.data(), request.size()));
    d = Decode(reply = client.Expect());
    ASSERT_EQ(SndMsgKind::Reply, d.kind);
    EXPECT_EQ(42u, d.requestId);
    EXPECT_EQ(0u, d.status);
    EXPECT_EQ(static_cast<uint32_t>(nCmdSetSettings), d.command);

    request = GetSettingsRequest(43);
    ASSERT_TRUE(client.Send(request.data(), request.size()));
    d = Decode(reply = client.Expect());
    EXPECT_EQ(43u, d.requestId);
    ASSERT_EQ(kSndSettingsReplySize, reply.size());
    EXPECT_EQ(0, std::memcmp(record, reply.data() + kSndOffPayload, kSndSettingsSize));
}

TEST_F(EmuSession, ServesTwoClientsAtOnceFromOneState) {
    StartWith(L"");
    CRawClient second;
    ASSERT_TRUE(second.Connect(emu.PipePath())) << second.LastError();
    client.ExpectServerInfo();
    second.ExpectServerInfo();

    // Requests outstanding on both connections at the same time; each reply
    // goes back on the connection that asked.
    std::vector<uint8_t> a = GetSettingsRequest(100);
    std::vector<uint8_t> b = GetSettingsRequest(200);
    ASSERT_TRUE(client.Send(a.data(), a.size()));
    ASSERT_TRUE(second.Send(b.data(), b.size()));
    EXPECT_EQ(200u, Decode(second.Expect()).requestId);
    EXPECT_EQ(100u, Decode(client.Expect()).requestId);

    // The default set by one client is what the other one sees.
    const std::vector<uint8_t> set = SetDefaultRequest(1);
    ASSERT_TRUE(client.Send(set.data(), set.size()));
    RequestDevices(client);  // the set request is handled before this list is sent
    const std::vector<ListedDevice> seen = RequestDevices(second);
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(1u, seen[1].def);
    EXPECT_EQ(0u, seen[0].def);

    // One client leaving does not disturb the other.
    client.Close();
    std::vector<uint8_t> c = GetSettingsRequest(300);
    ASSERT_TRUE(second.Send(c.data(), c.size()));
    EXPECT_EQ(300u, Decode(second.Expect()).requestId);
}

TEST_F(EmuSession, TellsWhatItReceivedOneLinePerMessage) {
    StartWith(L"");
    client.ExpectServerInfo();
    uint8_t session[kSndStandardRequestSize];
    ASSERT_EQ(sizeof(session), SndBuildSetSessionId(session, sizeof(session), 5));
    ASSERT_TRUE(client.Send(session, sizeof(session)));
    RequestDevices(client);
    client.Close();
    EXPECT_EQ(0, emu.Stop());
    const std::string out = emu.Output();
    EXPECT_NE(std::string::npos, out.find("[client 1] connected")) << out;
    EXPECT_NE(std::string::npos, out.find("<- nCmdSetSessionId (0): session 5")) << out;
    EXPECT_NE(std::string::npos, out.find("<- nCmdGetDeviceList (7)")) << out;
    EXPECT_NE(std::string::npos, out.find("-> eZkSndRdpVLastDeviceInfo")) << out;
    EXPECT_NE(std::string::npos, out.find("disconnected (session 5)")) << out;
    EXPECT_NE(std::string::npos, out.find("stopped")) << out;
    // The library's requests are exactly as expected: no warning about them.
    EXPECT_EQ(std::string::npos, out.find("unusual")) << out;
}

TEST_F(EmuSession, SurvivesMalformedInput) {
    StartWith(L"");
    client.ExpectServerInfo();
    // A zero-length frame, then a message shorter than a header: both ignored.
    const uint8_t empty[4] = {0, 0, 0, 0};
    ASSERT_TRUE(client.SendRaw(empty, sizeof(empty)));
    const uint8_t shortMessage[10] = {10};
    ASSERT_TRUE(client.Send(shortMessage, sizeof(shortMessage)));
    // An unknown numbered command gets a failure reply instead of silence.
    uint8_t unknown[kSndHeaderSize] = {0};
    SndStoreU32(unknown, kSndOffSize, kSndHeaderSize);
    SndStoreU32(unknown, kSndOffRequestId, 9);
    SndStoreU32(unknown, kSndOffCommand, 55);
    ASSERT_TRUE(client.Send(unknown, sizeof(unknown)));
    SndDecodedMsg d = Decode(client.Expect());
    EXPECT_EQ(9u, d.requestId);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_FUNCTION), d.status);
    // A set-settings request cut short: refused, nothing stored.
    std::vector<uint8_t> cut = SetSettingsRequest(10, nullptr);
    cut.resize(100);
    ASSERT_TRUE(client.Send(cut.data(), cut.size()));
    d = Decode(client.Expect());
    EXPECT_EQ(10u, d.requestId);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), d.status);
    // Still answering.
    std::vector<uint8_t> get = GetSettingsRequest(11);
    ASSERT_TRUE(client.Send(get.data(), get.size()));
    EXPECT_EQ(11u, Decode(client.Expect()).requestId);

    // A frame announcing more than any message may hold ends the connection.
    const uint8_t huge[4] = {0xFF, 0xFF, 0xFF, 0x7F};
    ASSERT_TRUE(client.SendRaw(huge, sizeof(huge)));
    std::vector<uint8_t> m;
    EXPECT_EQ(CRawClient::kClosed, client.Receive(&m, 5000));
    // ... and the emulator still serves new clients.
    CRawClient again;
    ASSERT_TRUE(again.Connect(emu.PipePath()));
    again.ExpectServerInfo();
}

// ---- Fault options ----------------------------------------------------------

TEST_F(EmuSession, DropAfterBreaksEachConnectionAfterItsNthMessage) {
    StartWith(L"--drop-after 2");
    client.ExpectServerInfo();
    std::vector<uint8_t> get = GetSettingsRequest(1);
    ASSERT_TRUE(client.Send(get.data(), get.size()));
    EXPECT_EQ(1u, Decode(client.Expect()).requestId);
    get = GetSettingsRequest(2);
    ASSERT_TRUE(client.Send(get.data(), get.size()));
    EXPECT_EQ(2u, Decode(client.Expect()).requestId);  // the second is still answered
    std::vector<uint8_t> m;
    ASSERT_EQ(CRawClient::kClosed, client.Receive(&m, 5000));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), client.LastError());
    // A new connection starts counting afresh.
    CRawClient again;
    ASSERT_TRUE(again.Connect(emu.PipePath()));
    again.ExpectServerInfo();
    get = GetSettingsRequest(3);
    ASSERT_TRUE(again.Send(get.data(), get.size()));
    EXPECT_EQ(3u, Decode(again.Expect()).requestId);
}

TEST_F(EmuSession, DroppingKeepsTheAnswersAlreadySent) {
    // The device list is the answer to the second message; the connection
    // breaks right after it is written, and every record must still arrive.
    StartWith(L"--drop-after 1");
    client.ExpectServerInfo();
    const std::vector<ListedDevice> devices = RequestDevices(client);
    EXPECT_EQ(3u, devices.size());
    std::vector<uint8_t> m;
    EXPECT_EQ(CRawClient::kClosed, client.Receive(&m, 5000));
}

TEST_F(EmuSession, WithholdKeepsOnlyTheNamedAnswers) {
    StartWith(L"--withhold get-settings,server-info");
    std::vector<uint8_t> m;
    std::vector<uint8_t> get = GetSettingsRequest(5);
    ASSERT_TRUE(client.Send(get.data(), get.size()));
    EXPECT_EQ(CRawClient::kTimeout, client.Receive(&m, 1000));  // neither greeting nor reply
    uint8_t record[kSndSettingsSize] = {1, 2, 3};
    const std::vector<uint8_t> set = SetSettingsRequest(6, record);
    ASSERT_TRUE(client.Send(set.data(), set.size()));
    EXPECT_EQ(6u, Decode(client.Expect()).requestId);
}

TEST_F(EmuSession, StatusOptionsGoIntoTheReplies) {
    StartWith(L"--get-status 5 --set-status 1168");
    client.ExpectServerInfo();
    std::vector<uint8_t> get = GetSettingsRequest(7);
    ASSERT_TRUE(client.Send(get.data(), get.size()));
    const std::vector<uint8_t> reply = client.Expect();
    SndDecodedMsg d = Decode(reply);
    EXPECT_EQ(7u, d.requestId);
    EXPECT_EQ(5u, d.status);
    EXPECT_EQ(kSndHeaderSize, reply.size());  // no record with a failure

    uint8_t record[kSndSettingsSize] = {9};
    const std::vector<uint8_t> set = SetSettingsRequest(8, record);
    ASSERT_TRUE(client.Send(set.data(), set.size()));
    EXPECT_EQ(1168u, Decode(client.Expect()).status);
}

TEST_F(EmuSession, DelayHoldsBackEveryAnswer) {
    StartWith(L"--delay 700 --withhold server-info");
    std::vector<uint8_t> get = GetSettingsRequest(12);
    const ULONGLONG start = ::GetTickCount64();
    ASSERT_TRUE(client.Send(get.data(), get.size()));
    EXPECT_EQ(12u, Decode(client.Expect(10000)).requestId);
    const ULONGLONG elapsed = ::GetTickCount64() - start;
    EXPECT_GE(elapsed, 600u);
    EXPECT_LE(elapsed, 6000u);
}

TEST_F(EmuSession, UnknownEventFollowsTheGreeting) {
    StartWith(L"--unknown-event 7");
    client.ExpectServerInfo();
    const SndDecodedMsg d = Decode(client.Expect());
    EXPECT_EQ(SndMsgKind::Notification, d.kind);
    EXPECT_EQ(7u, d.event);
}

TEST_F(EmuSession, ControlEventsActOnEveryClient) {
    StartWith(L"");
    client.ExpectServerInfo();
    CRawClient second;
    ASSERT_TRUE(second.Connect(emu.PipePath()));
    second.ExpectServerInfo();

    ASSERT_TRUE(emu.Signal(L"unknown"));
    EXPECT_EQ(9u, Decode(client.Expect()).event);
    EXPECT_EQ(9u, Decode(second.Expect()).event);

    ASSERT_TRUE(emu.Signal(L"devices"));  // unasked device list
    for (CRawClient* c : {&client, &second}) {
        for (uint32_t expected : {2u, 2u, 2u, 3u}) EXPECT_EQ(expected, Decode(c->Expect()).event);
    }

    ASSERT_TRUE(emu.Signal(L"drop"));
    std::vector<uint8_t> m;
    EXPECT_EQ(CRawClient::kClosed, client.Receive(&m, 5000));
    EXPECT_EQ(CRawClient::kClosed, second.Receive(&m, 5000));
}

// ---- Files --------------------------------------------------------------------

TEST(EmuFiles, DeviceFileReplacesTheBuiltInDevices) {
    const std::wstring path = TempFolder() + UniqueName(L"devices") + L".txt";
    ASSERT_TRUE(WriteTextFile(path,
                              "# kind id default extra name\n"
                              "capture 0x10 0 7 Line In\n"
                              "render 20 1 0 Haut-parleurs \xC3\xA9tage 2\r\n"));
    CEmulator emu;
    ASSERT_TRUE(emu.Start(L"--devices \"" + path + L"\""));
    CRawClient client;
    ASSERT_TRUE(client.Connect(emu.PipePath()));
    client.ExpectServerInfo();
    const std::vector<ListedDevice> devices = RequestDevices(client);
    ASSERT_EQ(2u, devices.size());
    EXPECT_EQ(16u, devices[0].id);
    EXPECT_EQ(0u, devices[0].render);
    EXPECT_EQ(7u, devices[0].extra);
    EXPECT_EQ(L"Line In", devices[0].name);
    EXPECT_EQ(20u, devices[1].id);
    EXPECT_EQ(1u, devices[1].def);
    EXPECT_EQ(L"Haut-parleurs \u00E9tage 2", devices[1].name);
    client.Close();
    EXPECT_EQ(0, emu.Stop());
    ::DeleteFileW(path.c_str());
}

TEST(EmuFiles, SettingsFileOutlivesTheEmulator) {
    const std::wstring path = TempFolder() + UniqueName(L"settings") + L".bin";
    uint8_t record[kSndSettingsSize];
    for (uint32_t i = 0; i < kSndSettingsSize; ++i) record[i] = static_cast<uint8_t>(255 - i);
    {
        CEmulator emu;
        ASSERT_TRUE(emu.Start(L"--settings-file \"" + path + L"\""));
        CRawClient client;
        ASSERT_TRUE(client.Connect(emu.PipePath()));
        client.ExpectServerInfo();
        const std::vector<uint8_t> set = SetSettingsRequest(1, record);
        ASSERT_TRUE(client.Send(set.data(), set.size()));
        EXPECT_EQ(0u, Decode(client.Expect()).status);
    }
    EXPECT_EQ(std::string(record, record + kSndSettingsSize), ReadTextFile(path));
    CEmulator emu;
    ASSERT_TRUE(emu.Start(L"--settings-file \"" + path + L"\""));
    CRawClient client;
    ASSERT_TRUE(client.Connect(emu.PipePath()));
    client.ExpectServerInfo();
    const std::vector<uint8_t> get = GetSettingsRequest(2);
    ASSERT_TRUE(client.Send(get.data(), get.size()));
    const std::vector<uint8_t> reply = client.Expect();
    ASSERT_EQ(kSndSettingsReplySize, reply.size());
    EXPECT_EQ(0, std::memcmp(record, reply.data() + kSndOffPayload, kSndSettingsSize));
    client.Close();
    emu.Stop();
    ::DeleteFileW(path.c_str());
}

// ---- Start-up and shutdown -----------------------------------------------------

struct StartFailure {
    const char* what;
    std::wstring arguments;
    std::string fileContent;  // written to FILE first, when not empty
    int exitCode;
    const char* message;
};

TEST(EmuStart, RefusesBadInputWithItsExitCode) {
    const std::wstring file = TempFolder() + UniqueName(L"input") + L".txt";
    const StartFailure cases[] = {
        {"unknown option", L"--frobnicate", "", 2, "unknown option"},
        {"missing value", L"--delay", "", 2, "needs a value"},
        {"bad number", L"--drop-after x", "", 2, "not a 32-bit number"},
        {"bad withhold", L"--withhold replies", "", 2, "--withhold"},
        {"bad signal action", L"--signal x explode", "", 2, "unknown action"},
        {"missing device file", L"--devices \"" + file + L".none\"", "", 4, "(error 2)"},
        {"bad device line", L"--devices \"" + file + L"\"", "render 1 0 0 A\nspeaker 2 0 0 B\n", 4, "line 2"},
        {"short settings file", L"--settings-file \"" + file + L"\"", "too short", 4, "holds 9 bytes"},
        {"no emulator to signal", L"--signal " + UniqueName(L"none") + L" stop", "", 5, "no emulator"},
    };
    for (const StartFailure& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.fileContent.empty()) {
            ASSERT_TRUE(WriteTextFile(file, c.fileContent));
        }
        std::string output;
        EXPECT_EQ(c.exitCode, RunProgram(L"tessaline-emu.exe", L"--pipe " + UniqueName(L"pipe") + L" " + c.arguments,
                                         &output));
        EXPECT_NE(std::string::npos, output.find(c.message)) << output;
    }
    ::DeleteFileW(file.c_str());
}

TEST(EmuStart, SecondEmulatorOnTheSamePipeIsRefused) {
    CEmulator first;
    ASSERT_TRUE(first.Start());
    std::string output;
    EXPECT_EQ(3, RunProgram(L"tessaline-emu.exe", L"--pipe " + first.PipeName(), &output));
    EXPECT_NE(std::string::npos, output.find("already served")) << output;
    // The first one is untouched.
    CRawClient client;
    ASSERT_TRUE(client.Connect(first.PipePath()));
    client.ExpectServerInfo();
}

TEST(EmuStart, ExitAfterStopsOnItsOwnWithConnectedClients) {
    CEmulator emu;
    const ULONGLONG start = ::GetTickCount64();
    ASSERT_TRUE(emu.Start(L"--exit-after 2"));
    CRawClient client;
    ASSERT_TRUE(client.Connect(emu.PipePath()));
    client.ExpectServerInfo();
    EXPECT_EQ(0, emu.WaitExit(15000));
    const ULONGLONG elapsed = ::GetTickCount64() - start;
    EXPECT_GE(elapsed, 1500u);
    EXPECT_LE(elapsed, 10000u);
    // The client learns at once: its read fails instead of hanging.
    std::vector<uint8_t> m;
    EXPECT_EQ(CRawClient::kClosed, client.Receive(&m, 5000));
    EXPECT_NE(std::string::npos, emu.Output().find("--exit-after reached"));
}

TEST(EmuStart, StopEventEndsItCleanlyWhileAReplyIsDelayed) {
    CEmulator emu;
    ASSERT_TRUE(emu.Start(L"--delay 60000"));
    CRawClient client;
    ASSERT_TRUE(client.Connect(emu.PipePath()));
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(0, emu.Stop());
    EXPECT_LE(::GetTickCount64() - start, 10000u);
}

}  // namespace
