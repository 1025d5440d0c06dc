// tessaline-emu end to end: started as a child process, spoken to over its pipe.
#include "tests/tools/ToolsTestKit.h"

using namespace tools_test;

namespace {

// Asks for the device list and reads it to its end: "id def render extra [name] " per device.
std::string RequestDevices(CRawClient& client) {
    EXPECT_TRUE(client.Send(Request(SndBuildGetDeviceList)));
    std::string devices, next;
    while (devices.size() < 100000 && (next = client.Next()).compare(0, 7, "device ") == 0)
        devices += next.substr(7) + " ";
    EXPECT_EQ("event " + std::to_string(eZkSndRdpVLastDeviceInfo), next) << "the device list did not end";
    return devices;
}

// The built-in list with render device def (0 or 1) as the default: two render devices, then one capture device.
std::string BuiltInList(int def) {
    return "0 " + std::to_string(def == 0) + " 1 0 [Speakers (Tessaline Remote Audio)] 1 " + std::to_string(def == 1) +
           " 1 0 [Headphones (Tessaline Remote Audio)] 2 0 0 0 [Microphone (Tessaline Remote Audio)] ";
}

// One emulator run, two clients: greeting, device list, default device, settings, bad input, control
// events, traffic lines and a clean stop.
TEST(Emulator, ServesClientsFromOneSharedState) {
    const CTempFile settingsFile(L"settings"), badFile(L"bad");
    CEmulator emu;
    ASSERT_TRUE(emu.Start(L"--settings-file " + settingsFile.Quoted()));
    CRawClient a, b;
    ASSERT_TRUE(a.Connect(emu.path) && b.Connect(emu.path));
    EXPECT_EQ("event 1", a.Next());  // the server information greets every connection
    EXPECT_EQ("event 1", b.Next());
    EXPECT_EQ("timeout", a.Next(nullptr, 300));  // nothing else comes unasked

    EXPECT_EQ(BuiltInList(0), RequestDevices(a));
    // a makes device 1 the only default (an unknown value changes nothing); b sees it.
    ASSERT_TRUE(a.Send(Request(SndBuildSetDefaultDevice, 1)) && a.Send(Request(SndBuildSetDefaultDevice, 77)));
    RequestDevices(a);  // answered after both requests were handled
    EXPECT_EQ(BuiltInList(1), RequestDevices(b));

    // Settings: each reply goes back to the connection that asked, with its request id.
    std::string record, got;
    ASSERT_TRUE(a.Send(Request(SndBuildGetSettings, 41)) && b.Send(Request(SndBuildGetSettings, 42)));
    EXPECT_EQ("reply 42 (10): status 0", b.Next());
    EXPECT_EQ("reply 41 (10): status 0", a.Next(&got));
    EXPECT_EQ(std::string(kSndSettingsSize, '\0'), got);
    for (size_t i = 0; i < kSndSettingsSize; ++i) record += static_cast<char>(i * 7 + 3);
    ASSERT_TRUE(a.Send(Request(SndBuildSetSettings, record.data(), 43)));
    EXPECT_EQ("reply 43 (9): status 0", a.Next());
    ASSERT_TRUE(b.Send(Request(SndBuildGetSettings, 44)));
    EXPECT_EQ("reply 44 (10): status 0", b.Next(&got));
    EXPECT_EQ(record, got);
    EXPECT_EQ(record, ReadFileText(settingsFile.path));

    // Bad input: an empty frame and a message shorter than a header are ignored, an unknown command gets
    // ERROR_INVALID_FUNCTION, a cut set-settings request ERROR_INVALID_PARAMETER and stores nothing.
    std::vector<uint8_t> unknown = Request(SndBuildGetSettings, 9), cut = Request(SndBuildSetSettings, nullptr, 10);
    SndStoreU32(unknown.data(), kSndOffCommand, 55);
    cut.resize(100);
    ASSERT_TRUE(a.Send({}) && a.Send({6, 0, 0, 0, 0, 0}) && a.Send(unknown) && a.Send(cut) &&
                a.Send(Request(SndBuildGetSettings, 11)));
    EXPECT_EQ("reply 9 (55): status 1", a.Next());
    EXPECT_EQ("reply 10 (9): status 87", a.Next());
    EXPECT_EQ("reply 11 (10): status 0", a.Next(&got));
    EXPECT_EQ(record, got);
    // A frame announcing more than any message may hold ends that connection only.
    ASSERT_TRUE(a.Send({0xFF, 0xFF, 0xFF, 0x7F}, false));
    EXPECT_EQ("closed", a.Next());

    // Bad starts, each with its exit code and message; this emulator is untouched.
    ASSERT_TRUE(WriteFileText(badFile.path, "render 1 0 0 A\nspeaker 2 0 0 B\n"));
    ExpectRuns(L"tessaline-emu.exe", {
        {L"--pipe " + emu.pipe, 3, "the pipe is already served"},
        {L"--devices " + badFile.Quoted(), 4, "line 2: kind 'speaker'"},
        {L"--settings-file " + badFile.Quoted(), 4, "holds 31 bytes"},
        {L"--signal " + UniquePipeName(L"none") + L" stop", 5, "no emulator runs"},
    });

    // Control events reach every client; after a drop new clients are served.
    ASSERT_TRUE(emu.Signal(L"unknown"));
    EXPECT_EQ("event 9", b.Next());
    ASSERT_TRUE(emu.Signal(L"drop"));
    EXPECT_EQ("closed", b.Next());
    CRawClient c;
    ASSERT_TRUE(c.Connect(emu.path));
    EXPECT_EQ("event 1", c.Next());
    ASSERT_TRUE(c.Send(Request(SndBuildSetSessionId, 5)));
    EXPECT_EQ(BuiltInList(1), RequestDevices(c));

    EXPECT_EQ(0, emu.Stop());  // with c still connected
    EXPECT_EQ("closed", c.Next());
    const std::string output = emu.Output();
    for (const char* line : {"[client 1] connected", "<- nCmdSetSessionId (0): session 5", "<- nCmdGetDeviceList (7)",
                             "-> eZkSndRdpVLastDeviceInfo (3): end of 3 devices", "disconnected (session 5)"})
        EXPECT_NE(npos, output.find(line)) << line << "\n" << output;
}

// One run with a device file and four fault options at once.
TEST(Emulator, DeviceFileAndFaultOptions) {
    const CTempFile file(L"devices");
    ASSERT_TRUE(WriteFileText(file.path, "\xEF\xBB\xBF# kind id default extra name\ncapture 0x10 0 7 Line In\r\n"
                                    "render 20 1 0 Haut-parleurs \xC3\xA9tage 2\n"));
    CEmulator emu;
    ASSERT_TRUE(emu.Start(L"--devices " + file.Quoted() +
                          L" --withhold get-settings --set-status 1168 --unknown-event 7 --delay 400 --drop-after 3"));
    CRawClient client;
    ASSERT_TRUE(client.Connect(emu.path));
    EXPECT_EQ("event 1", client.Next());
    EXPECT_EQ("event 7", client.Next());  // the unknown event follows the greeting

    ASSERT_TRUE(client.Send(Request(SndBuildGetSettings, 5)));
    EXPECT_EQ("timeout", client.Next(nullptr, 1500));  // withheld
    const ULONGLONG start = ::GetTickCount64();
    ASSERT_TRUE(client.Send(Request(SndBuildSetSettings, std::string(kSndSettingsSize, 's').data(), 6)));
    EXPECT_EQ("reply 6 (9): status 1168", client.Next());
    EXPECT_GE(::GetTickCount64() - start, 350u);  // held back by --delay

    // The third message: its answer arrives whole, then the connection breaks.
    EXPECT_EQ("16 0 0 7 [Line In] 20 1 1 0 [Haut-parleurs \xC3\xA9tage 2] ", RequestDevices(client));
    EXPECT_EQ("closed", client.Next());
    EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), client.LastError());
    EXPECT_EQ(0, emu.Stop());
}

}  // namespace
