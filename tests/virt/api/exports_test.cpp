// The exports end to end: zksndapi.dll loaded with LoadLibraryW, resolved
// with GetProcAddress, against the emulated service (the hostile-service kit
// without a fault) on the service's pipe.
#include <gtest/gtest.h>
#include <windows.h>

#include "pipes/FrameReader.h"
#include "tests/virt/api/Api.h"
#include "tools/tessaline-emu/DeviceFile.h"
#include "virt/api/SndProtocol.h"
#include "virt/api/SndServiceMessages.h"

using Exports = DllTest;

// Callback 8 on the caller's thread before ZkSndVApiInit returned. Unknown
// events, callback codes as events, a reply-less notification not marked
// asynchronous, device records whose name runs off the end (of the frame, or
// of their own size) and a message shorter than a header reach nobody; the
// list end after them does. Then, after a second Init without a callback (which keeps the first pair), the
// records in the service's order, each with its name and default flag, on the
// delivery thread, then 301; every callback with the first context.
TEST_F(Exports, OnlyKnownWellFormedNotificationsReachTheApplicationAndTheListOneCallbackPerDevice) {
    ASSERT_NO_FATAL_FAILURE(Serve());
    int context = 0;
    SndSettings* const wild = reinterpret_cast<SndSettings*>(16);  // memory the process does not hold
    std::atomic<uint32_t> inside{0};  // ZkSndGetSettings(wild) << 8 | ZkSndSetSettings(wild) in the first 301
    Recorder rec;  // after what its callbacks use: it tears the library down before that goes
    rec.inside = [&](uint32_t code) {
        if (code == ZKSND_NOTIFY_DEVICE_LIST_END && inside == 0) inside = Dll().GetSettings(wild) << 8 | Dll().SetSettings(wild);
    };
    ASSERT_EQ(0u, Dll().Init(&Recorder::Callback, &context));
    // Writes a message, framed, on the connection (after the service's greeting).
    const auto send = [&](const uint8_t* message, size_t length) {
        const std::vector<uint8_t> frame = MakeFrame(message, length);
        EXPECT_TRUE(service->Write(frame.data(), frame.size())) << "the connection ended";
    };
    ASSERT_FALSE(rec.Snapshot().empty()) << "no callback before Init returned";
    ASSERT_TRUE(rec.WaitForCount(ZKSND_NOTIFY_SERVER_INFO, 1)) << "the greeting";
    uint8_t m[256] = {};
    for (uint32_t event : {4u, 5u, 6u, 7u, 8u, 9u, 1234u}) send(m, SndBuildNotification(m, sizeof(m), event, nullptr, 0));
    const size_t synchronous = SndBuildNotification(m, sizeof(m), eZkSndRdpVDeviceInfo, nullptr, 0);
    SndStoreU32(m, kSndOffAsyncFlag, 0);
    send(m, synchronous);
    // A record cut short, its size field claiming the whole; then the same
    // with a size field that agrees, which only the record's own check drops.
    const size_t cut = SndBuildDeviceInfo(m, sizeof(m), 0, 0, 1, 0, u"Cut", 3) - 2;
    send(m, cut);
    SndStoreU32(m, kSndOffSize, uint32_t(cut));
    send(m, cut);
    send(m, 20);  // shorter than a header
    send(m, SndBuildLastDeviceInfo(m, sizeof(m)));
    int other = 0;
    ASSERT_EQ(0u, Dll().Init(nullptr, &other)) << "the second Init";
    ASSERT_EQ(0u, Dll().GetDeviceList());  // asked for after the bytes above are in the pipe: its list comes behind them
    ASSERT_TRUE(rec.WaitForCount(ZKSND_NOTIFY_DEVICE_LIST_END, 2)) << "no list end within 5 s";
    const std::vector<Notice> seen = rec.Snapshot();
    std::vector<uint32_t> codes;
    for (const Notice& n : seen) codes.push_back(n.code);
    ASSERT_EQ((std::vector<uint32_t>{8, 9, 301, 300, 300, 300, 301}), codes);
    EXPECT_EQ(0u, seen[0].param) << "callback 8's param";
    EXPECT_EQ(::GetCurrentThreadId(), seen[0].thread) << "callback 8 ran on another thread";
    for (const Notice& n : seen) EXPECT_EQ(&context, n.context) << "code " << n.code;
    const std::vector<tessaline_emu::EmuDevice> devices = tessaline_emu::DefaultDevices();
    for (size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(devices[i].name, seen[3 + i].devName) << "device " << i;
        EXPECT_EQ(devices[i].def, seen[3 + i].def) << "device " << i << "'s default flag";
        EXPECT_NE(::GetCurrentThreadId(), seen[3 + i].thread) << "device " << i << " came on the caller's thread";
    }
    // The requests carry the caller's session id on connecting and a device value as it is; a null or
    // wild settings record is status 4 on this thread and inside a callback, and holds nothing (the
    // teardown after it is bounded).
    for (SndSettings* record : {static_cast<SndSettings*>(nullptr), wild}) {
        EXPECT_EQ(uint32_t(ZKSND_STATUS_INVALID_PARAMETER), Dll().GetSettings(record)) << "ZkSndGetSettings " << record;
        EXPECT_EQ(uint32_t(ZKSND_STATUS_INVALID_PARAMETER), Dll().SetSettings(record)) << "ZkSndSetSettings " << record;
    }
    EXPECT_EQ(uint32_t(ZKSND_STATUS_INVALID_PARAMETER) * 0x101, inside.load()) << "the wild record inside callback 301";
    EXPECT_EQ(0u, Dll().SetDefault(0xDEADBEEF));
    DWORD session = 0;
    ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) << "this process's session";
    const struct { const wchar_t* command; std::wstring argument; } rows[] = {
        {L"<- nCmdSetSessionId", L": session " + std::to_wstring(session)},
        {L"<- nCmdSetDefaultDevice", L": device 3735928559"},  // 0xDEADBEEF
    };
    for (const auto& row : rows) {
        const std::vector<std::wstring> sent = service->Traffic(row.command, 1, 5000);
        ASSERT_EQ(1u, sent.size()) << "requests " << row.command;
        // the argument, a whole number, and no " [unusual: ...]" sizes after it
        EXPECT_NE(std::wstring::npos, (sent[0] + L" ").find(row.argument + L" ")) << "the argument: " << sent[0];
        EXPECT_EQ(std::wstring::npos, sent[0].find(L"[unusual")) << "the sizes: " << sent[0];
    }
    ExpectTeardown();
}
