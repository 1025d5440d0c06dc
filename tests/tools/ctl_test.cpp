// zksndctl as a user runs it: a child process, judged by exit code and output.
#include <cstring>

#include "tests/tools/ToolsTestKit.h"

using namespace tools_test;

namespace {

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The end-to-end cases need a zksndapi.dll that has its exports; the command
// line cases below do not.
bool LibraryIsComplete() {
    HMODULE module = ::LoadLibraryW((ProgramFolder() + L"zksndapi.dll").c_str());
    if (module == nullptr) return false;
    const bool complete = ::GetProcAddress(module, "ZkSndVApiInit") != nullptr &&
                          ::GetProcAddress(module, "ZkConfigIsLocked") != nullptr;
    ::FreeLibrary(module);
    return complete;
}

#define REQUIRE_LIBRARY()                                                            \
    do {                                                                             \
        if (!LibraryIsComplete()) GTEST_SKIP() << "zksndapi.dll lacks its exports";  \
    } while (0)

struct CtlCase {
    const char* what;
    std::wstring arguments;
    int exitCode;
    const char* message;
};

TEST(CtlCommandLine, FailsEarlyWithTheDocumentedExitCodes) {
    const std::wstring wrongSize = TempFolder() + UniqueName(L"settings") + L".bin";
    ASSERT_TRUE(WriteTextFile(wrongSize, std::string(335, 'x')));
    const CtlCase cases[] = {
        {"no command", L"", 2, "no command given"},
        {"unknown command", L"frobnicate", 2, "unknown command"},
        {"option of another command", L"devices --out x.bin", 2, "--out belongs to 'settings get'"},
        {"bad device value", L"set-default five", 2, "not a 32-bit number"},
        {"library missing", L"--dll \"" + TempFolder() + L"nowhere\\zksndapi.dll\" devices", 3, "cannot load"},
        {"settings file missing", L"settings set \"" + wrongSize + L".none\"", 5, "(error 2)"},
        {"settings file of the wrong size", L"settings set \"" + wrongSize + L"\"", 5, "holds 335 bytes"},
    };
    for (const CtlCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::string output;
        EXPECT_EQ(c.exitCode, RunProgram(L"zksndctl.exe", c.arguments, &output));
        EXPECT_NE(std::string::npos, output.find(c.message)) << output;
    }
    ::DeleteFileW(wrongSize.c_str());
}

TEST(CtlCommandLine, LibraryWithoutTheExportsIsNamedAsSuch) {
    // The test program itself is a module without any of them.
    std::string output;
    EXPECT_EQ(3, RunProgram(L"zksndctl.exe", L"--dll \"" + ProgramFolder() + L"tessaline-emu.exe\" locked", &output));
    EXPECT_NE(std::string::npos, output.find("lacks the export(s) ZkSndVApiInit")) << output;
}

// ---- Against the emulator on the service's pipe -------------------------------

TEST(CtlWithEmulator, LockedNeedsNoService) {
    REQUIRE_LIBRARY();
    std::string output;
    EXPECT_EQ(0, RunProgram(L"zksndctl.exe", L"locked", &output));
    EXPECT_NE(std::string::npos, output.find("locked")) << output;
}

TEST(CtlWithEmulator, WithoutTheServiceItSaysNotConnected) {
    REQUIRE_LIBRARY();
    const ULONGLONG start = ::GetTickCount64();
    std::string output;
    EXPECT_EQ(30, RunProgram(L"zksndctl.exe", L"--timeout 1500 devices", &output));
    EXPECT_NE(std::string::npos, output.find("not connected to the service (status 20)")) << output;
    EXPECT_LE(::GetTickCount64() - start, 20000u);
}

TEST(CtlWithEmulator, DevicesAsTableAndJson) {
    REQUIRE_LIBRARY();
    CEmulator emu(L"service");
    ASSERT_TRUE(emu.Start());
    std::string output;
    ASSERT_EQ(0, RunProgram(L"zksndctl.exe", L"devices", &output)) << output;
    EXPECT_NE(std::string::npos, output.find("NAME")) << output;
    EXPECT_NE(std::string::npos, output.find("yes      render   0      Speakers (Tessaline Remote Audio)")) << output;
    EXPECT_NE(std::string::npos, output.find("capture  0      Microphone (Tessaline Remote Audio)")) << output;
    ASSERT_EQ(0, RunProgram(L"zksndctl.exe", L"devices --json", &output)) << output;
    EXPECT_NE(std::string::npos,
              output.find("{\"id\": 1, \"default\": false, \"kind\": \"render\", \"extra\": 0, "
                          "\"name\": \"Headphones (Tessaline Remote Audio)\"}"))
        << output;
    EXPECT_EQ(3u, Count(output, "\"id\""));
    // The library told the emulator the session before asking.
    EXPECT_NE(std::string::npos, emu.Output().find("<- nCmdSetSessionId (0): session")) << emu.Output();
}

TEST(CtlWithEmulator, SetDefaultShowsTheNewDefault) {
    REQUIRE_LIBRARY();
    CEmulator emu(L"service");
    ASSERT_TRUE(emu.Start());
    std::string output;
    ASSERT_EQ(0, RunProgram(L"zksndctl.exe", L"set-default 1", &output)) << output;
    EXPECT_NE(std::string::npos, output.find("default device: 1 \"Headphones (Tessaline Remote Audio)\"")) << output;
    ASSERT_EQ(0, RunProgram(L"zksndctl.exe", L"devices --json", &output)) << output;
    EXPECT_NE(std::string::npos, output.find("{\"id\": 1, \"default\": true")) << output;
    EXPECT_NE(std::string::npos, output.find("{\"id\": 0, \"default\": false")) << output;
    // A value the service does not know: accepted by the library, noted by zksndctl.
    ASSERT_EQ(0, RunProgram(L"zksndctl.exe", L"set-default 99", &output)) << output;
    EXPECT_NE(std::string::npos, output.find("does not list device 99 as the default")) << output;
}

TEST(CtlWithEmulator, SettingsRoundTripThroughFiles) {
    REQUIRE_LIBRARY();
    CEmulator emu(L"service");
    ASSERT_TRUE(emu.Start());
    const std::wstring first = TempFolder() + UniqueName(L"get") + L".bin";
    const std::wstring second = TempFolder() + UniqueName(L"get") + L".bin";
    std::string output;
    ASSERT_EQ(0, RunProgram(L"zksndctl.exe", L"settings get --out \"" + first + L"\"", &output)) << output;
    std::string record = ReadTextFile(first);
    ASSERT_EQ(336u, record.size());
    record[17] = static_cast<char>(record[17] ^ 0x5A);
    record[335] = 'z';
    ASSERT_TRUE(WriteTextFile(first, record));
    ASSERT_EQ(0, RunProgram(L"zksndctl.exe", L"settings set \"" + first + L"\"", &output)) << output;
    ASSERT_EQ(0, RunProgram(L"zksndctl.exe", L"settings get --out \"" + second + L"\"", &output)) << output;
    EXPECT_EQ(record, ReadTextFile(second));
    // Without --out: a hex dump of 21 lines.
    ASSERT_EQ(0, RunProgram(L"zksndctl.exe", L"settings get", &output)) << output;
    EXPECT_NE(std::string::npos, output.find("0010  00 5a")) << output;
    EXPECT_NE(std::string::npos, output.find("0140 ")) << output;
    ::DeleteFileW(first.c_str());
    ::DeleteFileW(second.c_str());
}

TEST(CtlWithEmulator, ServiceFailuresBecomeStatusExitCodes) {
    REQUIRE_LIBRARY();
    struct Case {
        std::wstring emulatorOptions;
        std::wstring arguments;
        int exitCode;
        const char* message;
    };
    const std::wstring file = TempFolder() + UniqueName(L"settings") + L".bin";
    ASSERT_TRUE(WriteTextFile(file, std::string(336, '\1')));
    const Case cases[] = {
        {L"--get-status 5", L"settings get", 18, "access denied (status 8)"},
        {L"--set-status 1168", L"settings set \"" + file + L"\"", 15, "not found or nothing more (status 5)"},
        {L"--get-status 12345", L"settings get", 11, "general failure (status 1)"},
        {L"--withhold device-list", L"--timeout 1500 devices", 4, "did not end within 1500 ms"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        CEmulator emu(L"service");
        ASSERT_TRUE(emu.Start(c.emulatorOptions));
        std::string output;
        EXPECT_EQ(c.exitCode, RunProgram(L"zksndctl.exe", c.arguments, &output));
        EXPECT_NE(std::string::npos, output.find(c.message)) << output;
    }
    ::DeleteFileW(file.c_str());
}

TEST(CtlWithEmulator, WatchFollowsConnectionsAndDevices) {
    REQUIRE_LIBRARY();
    CEmulator emu(L"service");
    // The session id and the list request are the two messages of each
    // connection: the emulator breaks it after answering them, and the
    // library connects again.
    ASSERT_TRUE(emu.Start(L"--drop-after 2"));
    std::string output;
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(0, RunProgram(L"zksndctl.exe", L"watch --seconds 5", &output));
    const ULONGLONG elapsed = ::GetTickCount64() - start;
    EXPECT_GE(elapsed, 4500u);
    EXPECT_LE(elapsed, 20000u);
    EXPECT_GE(Count(output, "connected (8)"), 2u) << output;
    EXPECT_GE(Count(output, "connection lost (6)"), 1u) << output;
    EXPECT_GE(Count(output, "server information (9)"), 1u) << output;
    EXPECT_GE(Count(output, "device (300): id 0, render, default"), 1u) << output;
    EXPECT_GE(Count(output, "end of device list (301), 3 devices"), 1u) << output;
    // In order: connected, then its device records, then the end.
    const size_t connected = output.find("connected (8)");
    const size_t device = output.find("device (300)");
    const size_t end = output.find("end of device list (301)");
    EXPECT_LT(connected, device);
    EXPECT_LT(device, end);
}

}  // namespace
