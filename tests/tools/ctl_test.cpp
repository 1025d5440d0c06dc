// zksndctl as a user runs it: a child process, judged by exit code and output.
#include "tests/tools/ToolsTestKit.h"

using namespace tools_test;

namespace {

int Ctl(const std::wstring& arguments, std::string* output) { return RunTool(L"zksndctl.exe", arguments, output); }

// Nothing serves the service's pipe here.
TEST(Zksndctl, FailsWithTheDocumentedExitCodes) {
    const CTempFile wrongSize(L"settings");
    ASSERT_TRUE(WriteFileText(wrongSize.path, std::string(335, 'x')));
    ExpectRuns(L"zksndctl.exe", {
        {L"frobnicate", 2, "unknown command 'frobnicate'"},
        {L"--dll tessaline-emu.exe locked", 3, "lacks the export(s) ZkSndVApiInit"},
        {L"settings set " + wrongSize.Quoted(), 5, "holds 335 bytes"},
        {L"--timeout 1500 devices", 30, "not connected to the service (status 20)"},
        {L"locked", 0, "locked"},  // needs no service
    });
}

TEST(Zksndctl, ListsSetsTheDefaultAndCopiesSettings) {
    CEmulator emu(true);
    ASSERT_TRUE(emu.Start());
    std::string out;
    ASSERT_EQ(0, Ctl(L"devices", &out)) << out;
    EXPECT_NE(npos, out.find("yes      render   0      Speakers (Tessaline Remote Audio)")) << out;
    EXPECT_NE(npos, out.find("no       capture  0      Microphone (Tessaline Remote Audio)")) << out;

    ASSERT_EQ(0, Ctl(L"set-default 1", &out)) << out;
    EXPECT_NE(npos, out.find("default device: 1 \"Headphones (Tessaline Remote Audio)\"")) << out;
    ASSERT_EQ(0, Ctl(L"devices --json", &out)) << out;
    for (const char* item : {"{\"id\": 0, \"default\": false, \"kind\": \"render\"", "{\"id\": 2, \"default\": false",
                             "{\"id\": 1, \"default\": true, \"kind\": \"render\", \"extra\": 0, "
                             "\"name\": \"Headphones (Tessaline Remote Audio)\"}"})
        EXPECT_NE(npos, out.find(item)) << item << "\n" << out;

    const CTempFile file(L"record");
    ASSERT_EQ(0, Ctl(L"settings get --out " + file.Quoted(), &out)) << out;
    std::string record = ReadFileText(file.path);
    ASSERT_EQ(336u, record.size());
    record[17] = static_cast<char>(record[17] ^ 0x5A);
    record[335] = 'z';
    ASSERT_TRUE(WriteFileText(file.path, record));
    ASSERT_EQ(0, Ctl(L"settings set " + file.Quoted(), &out)) << out;
    ASSERT_TRUE(::DeleteFileW(file.path.c_str()));
    ASSERT_EQ(0, Ctl(L"settings get --out " + file.Quoted(), &out)) << out;
    EXPECT_EQ(record, ReadFileText(file.path));
    ASSERT_EQ(0, Ctl(L"settings get", &out)) << out;  // a hex dump, 16 bytes a line
    EXPECT_NE(npos, out.find("0010  00 5a")) << out;
}

TEST(Zksndctl, WatchFollowsConnectionsAndServiceStatusesBecomeExitCodes) {
    // A connection of watch sends two messages (session id, list request); the emulator breaks it after
    // them and the library connects again.
    CEmulator emu(true);
    ASSERT_TRUE(emu.Start(L"--drop-after 2 --get-status 5"));
    std::string out;
    EXPECT_EQ(0, Ctl(L"watch --seconds 4", &out));
    const size_t connected = out.find("connected (8)"), lost = out.find("connection lost (6)");
    const size_t device = out.find("device (300): id 0, render, default");
    EXPECT_LT(connected, out.find("server information (9)")) << out;
    EXPECT_LT(connected, device) << out;
    EXPECT_LT(device, out.find("end of device list (301), 3 devices")) << out;
    ASSERT_NE(npos, lost) << out;
    EXPECT_NE(npos, out.find("connected (8)", lost)) << out;  // and connected again

    // The service's ERROR_ACCESS_DENIED reaches the caller as the library's "access denied".
    EXPECT_EQ(18, Ctl(L"settings get", &out));
    EXPECT_NE(npos, out.find("access denied (status 8)")) << out;
}

}  // namespace
