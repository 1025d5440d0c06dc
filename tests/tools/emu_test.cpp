// tessaline-emu end to end: started as a child process, spoken to over its pipe.
#include "tests/tools/ToolsTestKit.h"

using namespace tools_test;

namespace {

std::vector<uint8_t> GetSettings(uint32_t requestId) {
    std::vector<uint8_t> request(kSndStandardRequestSize);
    SndBuildGetSettings(request.data(), request.size(), requestId);
    return request;
}

std::vector<uint8_t> SetSettings(uint32_t requestId, const std::string& record) {
    std::vector<uint8_t> request(kSndSetSettingsRequestSize);
    SndBuildSetSettings(request.data(), request.size(), record.data(), requestId);
    return request;
}

std::vector<uint8_t> SetDefault(uint32_t device) {
    std::vector<uint8_t> request(kSndSetDefaultRequestSize);
    SndBuildSetDefaultDevice(request.data(), request.size(), device);
    return request;
}

// Asks for the device list and reads it to its end: "id def render extra [name] " per device.
std::wstring RequestDevices(CRawClient& client) {
    std::wstring devices;
    std::vector<uint8_t> m(kSndStandardRequestSize);
    SndBuildGetDeviceList(m.data(), m.size());
    EXPECT_TRUE(client.Send(m));
    SndDecodedMsg d = {};
    while (devices.size() < 100000 && client.Receive(&m) == CRawClient::kMessage &&
           SndDecodeMessage(m.data(), m.size(), d) == SndMsgKind::Notification && d.event == eZkSndRdpVDeviceInfo) {
        devices += zktools::Format(L"%u %u %u %u [", d.device.field0, d.device.def, d.device.render, d.device.field3);
        for (size_t c = 0; c < d.device.devNameChars; ++c) devices += static_cast<wchar_t>(SndDeviceNameAt(d.device, c));
        devices += L"] ";
    }
    EXPECT_EQ(static_cast<uint32_t>(eZkSndRdpVLastDeviceInfo), d.event) << "the device list did not end";
    return devices;
}

// The built-in list with device def as the default: two render devices, then one capture device.
std::wstring BuiltInList(uint32_t def) {
    return zktools::Format(L"0 %u 1 0 [Speakers (Tessaline Remote Audio)] 1 %u 1 0 [Headphones (Tessaline Remote Audio)] "
                           L"2 %u 0 0 [Microphone (Tessaline Remote Audio)] ",
                           def == 0 ? 1u : 0u, def == 1 ? 1u : 0u, def == 2 ? 1u : 0u);
}

// One emulator run, two clients: greeting, device list, default device, settings, bad input, control
// events, traffic lines and a clean stop.
TEST(Emulator, ServesClientsFromOneSharedState) {
    const std::wstring settingsFile = TempFile(L"settings"), badFile = TempFile(L"bad");
    CEmulator emu;
    ASSERT_TRUE(emu.Start(L"--settings-file \"" + settingsFile + L"\""));
    CRawClient a, b;
    ASSERT_TRUE(a.Connect(emu.path) && b.Connect(emu.path));
    EXPECT_EQ("event 1", a.Next());  // the server information greets every connection
    EXPECT_EQ("event 1", b.Next());
    std::vector<uint8_t> m;
    EXPECT_EQ(CRawClient::kTimeout, a.Receive(&m, 300));  // nothing else comes unasked

    EXPECT_EQ(BuiltInList(0), RequestDevices(a));
    // a makes device 1 the only default (an unknown value changes nothing); b sees it.
    ASSERT_TRUE(a.Send(SetDefault(1)) && a.Send(SetDefault(77)));
    RequestDevices(a);  // answered after both requests were handled
    EXPECT_EQ(BuiltInList(1), RequestDevices(b));

    // Settings: each reply goes back to the connection that asked, with its request id.
    std::string record, got;
    ASSERT_TRUE(a.Send(GetSettings(41)) && b.Send(GetSettings(42)));
    EXPECT_EQ("reply 42 (10): status 0", b.Next());
    EXPECT_EQ("reply 41 (10): status 0", a.Next(&got));
    EXPECT_EQ(std::string(kSndSettingsSize, '\0'), got);
    for (size_t i = 0; i < kSndSettingsSize; ++i) record += static_cast<char>(i * 7 + 3);
    ASSERT_TRUE(a.Send(SetSettings(43, record)));
    EXPECT_EQ("reply 43 (9): status 0", a.Next());
    ASSERT_TRUE(b.Send(GetSettings(44)));
    EXPECT_EQ("reply 44 (10): status 0", b.Next(&got));
    EXPECT_EQ(record, got);
    EXPECT_EQ(record, ReadFileText(settingsFile));

    // Bad input: an empty frame and a message shorter than a header are ignored, an unknown command gets
    // ERROR_INVALID_FUNCTION, a cut set-settings request ERROR_INVALID_PARAMETER and stores nothing.
    std::vector<uint8_t> unknown = GetSettings(9), cut = SetSettings(10, std::string(kSndSettingsSize, 'c'));
    SndStoreU32(unknown.data(), kSndOffCommand, 55);
    cut.resize(100);
    ASSERT_TRUE(a.Send({}) && a.Send({6, 0, 0, 0, 0, 0}) && a.Send(unknown) && a.Send(cut) && a.Send(GetSettings(11)));
    EXPECT_EQ("reply 9 (55): status 1", a.Next());
    EXPECT_EQ("reply 10 (9): status 87", a.Next());
    EXPECT_EQ("reply 11 (10): status 0", a.Next(&got));
    EXPECT_EQ(record, got);
    // A frame announcing more than any message may hold ends that connection only.
    ASSERT_TRUE(a.Send({0xFF, 0xFF, 0xFF, 0x7F}, false));
    EXPECT_EQ(CRawClient::kClosed, a.Receive(&m));

    // Bad starts, each with its exit code and message; this emulator is untouched.
    ASSERT_TRUE(WriteFileText(badFile, "render 1 0 0 A\nspeaker 2 0 0 B\n"));
    const struct {
        std::wstring arguments;
        int exitCode;
        const char* message;
    } cases[] = {
        {L"--pipe " + emu.pipe, 3, "the pipe is already served"},
        {L"--devices \"" + badFile + L"\"", 4, "line 2: kind 'speaker'"},
        {L"--settings-file \"" + badFile + L"\"", 4, "holds 31 bytes"},
        {L"--signal " + UniquePipeName(L"none") + L" stop", 5, "no emulator runs"},
    };
    for (const auto& c : cases) {
        std::string output;
        EXPECT_EQ(c.exitCode, RunTool(L"tessaline-emu.exe", c.arguments, &output));
        EXPECT_NE(npos, output.find(c.message)) << output;
    }

    // Control events reach every client; after a drop new clients are served.
    ASSERT_TRUE(emu.Signal(L"unknown"));
    EXPECT_EQ("event 9", b.Next());
    ASSERT_TRUE(emu.Signal(L"drop"));
    EXPECT_EQ(CRawClient::kClosed, b.Receive(&m));
    CRawClient c;
    ASSERT_TRUE(c.Connect(emu.path));
    EXPECT_EQ("event 1", c.Next());
    std::vector<uint8_t> session(kSndStandardRequestSize);
    SndBuildSetSessionId(session.data(), session.size(), 5);
    ASSERT_TRUE(c.Send(session));
    EXPECT_EQ(BuiltInList(1), RequestDevices(c));

    EXPECT_EQ(0, emu.Stop());  // with c still connected
    EXPECT_EQ(CRawClient::kClosed, c.Receive(&m));
    const std::string output = emu.Output();
    for (const char* line : {"[client 1] connected", "<- nCmdSetSessionId (0): session 5", "<- nCmdGetDeviceList (7)",
                             "-> eZkSndRdpVLastDeviceInfo (3): end of 3 devices", "disconnected (session 5)"})
        EXPECT_NE(npos, output.find(line)) << line << "\n" << output;
    ::DeleteFileW(settingsFile.c_str());
    ::DeleteFileW(badFile.c_str());
}

// One run with a device file and four fault options at once.
TEST(Emulator, DeviceFileAndFaultOptions) {
    const std::wstring file = TempFile(L"devices");
    ASSERT_TRUE(WriteFileText(file, "\xEF\xBB\xBF# kind id default extra name\ncapture 0x10 0 7 Line In\r\n"
                                    "render 20 1 0 Haut-parleurs \xC3\xA9tage 2\n"));
    CEmulator emu;
    ASSERT_TRUE(emu.Start(L"--devices \"" + file +
                          L"\" --withhold get-settings --set-status 1168 --unknown-event 7 --delay 400 --drop-after 3"));
    CRawClient client;
    ASSERT_TRUE(client.Connect(emu.path));
    EXPECT_EQ("event 1", client.Next());
    EXPECT_EQ("event 7", client.Next());  // the unknown event follows the greeting

    std::vector<uint8_t> m;
    ASSERT_TRUE(client.Send(GetSettings(5)));
    EXPECT_EQ(CRawClient::kTimeout, client.Receive(&m, 1500));  // withheld
    const ULONGLONG start = ::GetTickCount64();
    ASSERT_TRUE(client.Send(SetSettings(6, std::string(kSndSettingsSize, 's'))));
    EXPECT_EQ("reply 6 (9): status 1168", client.Next());
    EXPECT_GE(::GetTickCount64() - start, 350u);  // held back by --delay

    // The third message: its answer arrives whole, then the connection breaks.
    EXPECT_EQ(L"16 0 0 7 [Line In] 20 1 1 0 [Haut-parleurs \u00E9tage 2] ", RequestDevices(client));
    EXPECT_EQ(CRawClient::kClosed, client.Receive(&m));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), client.LastError());
    EXPECT_EQ(0, emu.Stop());
    ::DeleteFileW(file.c_str());
}

}  // namespace
