// The exports end to end: zksndapi.dll loaded with LoadLibraryW, resolved
// with GetProcAddress, against the test pipe server on the service's pipe.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

#include "support/TestPipeServer.h"
#include "tests/virt/api/Api.h"
#include "virt/api/SndServiceMessages.h"

using zk_testkit::CTestPipeServer;

namespace {

using CodeList = std::vector<uint32_t>;
CodeList Codes(const std::vector<Notice>& seen) { CodeList c; for (const Notice& n : seen) c.push_back(n.code); return c; }
DWORD CurrentSession() { DWORD s = 0; return ::ProcessIdToSessionId(::GetCurrentProcessId(), &s) ? s : 0xFFFFFFFFu; }

// A service stand-in: answers the device list with its devices and settings
// requests with the configured status.
struct FakeService {
    CTestPipeServer server;
    std::vector<std::u16string> devices = {u"Speakers", u"Headset"};
    uint32_t replyStatus = 0;
    uint8_t settings[kSndSettingsSize];

    FakeService() {
        for (uint32_t i = 0; i < kSndSettingsSize; ++i) settings[i] = uint8_t(i * 7 + 1);
        server.SetResponder([this](CTestPipeServer& /*s*/, size_t client, const std::vector<uint8_t>& frame) {
            SndDecodedRequest req;
            if (!SndDecodeRequest(frame.data(), frame.size(), req)) return;
            uint8_t out[1024];
            if (req.command == nCmdGetDeviceList) {
                for (size_t i = 0; i < devices.size(); ++i)
                    Send(client, SndBuildDeviceInfo(out, sizeof(out), uint32_t(i), i == 0, 1, 0, devices[i].data(),
                                                    devices[i].size()), out);
                Send(client, SndBuildLastDeviceInfo(out, sizeof(out)), out);
            } else if (req.command == nCmdGetSettings || req.command == nCmdSetSettings) {
                bool withRecord = req.command == nCmdGetSettings && replyStatus == 0;
                Send(client, SndBuildReply(out, sizeof(out), req.requestId, req.command, replyStatus,
                                           withRecord ? settings : nullptr), out);
            }
        });
        EXPECT_TRUE(server.Start());
    }
    void Send(size_t client, size_t length, const uint8_t* message) { server.WriteFrame(client, message, uint32_t(length)); }

    // The count-th frame carrying that command (waits for it), decoded into req;
    // empty when it did not come.
    std::vector<uint8_t> Request(uint32_t command, SndDecodedRequest& req, size_t count = 1) {
        req = SndDecodedRequest{};
        for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < 5000; server.WaitForFrames(server.FrameCount() + 1, 100))
            for (size_t i = 0, seen = 0; i < server.FrameCount(); ++i)
                if (std::vector<uint8_t> f = server.Frame(i);
                    f.size() >= kSndHeaderSize && SndLoadU32(f.data(), kSndOffCommand) == command && ++seen >= count)
                    return SndDecodeRequest(f.data(), f.size(), req), f;
        return {};
    }
};

class ExportsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(api.Complete()) << "zksndapi.dll did not load or lacks an export"; }
    void TearDown() override { api.DeInit(); }
    Api& api = Dll();
};

}  // namespace

TEST_F(ExportsTest, WithoutClientOrServiceEveryCallHasItsDefinedStatus) {
    // the client check comes before the pointer check
    EXPECT_EQ((CodeList{1, 1, 1, 1, 1, 0, 0, 0}), (CodeList{api.IsLocked(), api.GetDeviceList(), api.SetDefault(3),
              api.GetSettings(nullptr), api.SetSettings(nullptr), api.CleanUp(), api.CleanUp(), api.DeInit()}));

    Recorder rec;
    ASSERT_EQ(0u, api.Init(&Recorder::Callback, nullptr));  // no service: still started
    EXPECT_EQ(1u, api.IsLocked());
    // (20 for one-way calls, 1 after about 3 s for a request: Hostile.WaitsKeepTheirBudgets)
    EXPECT_EQ((CodeList{4, 4}), (CodeList{api.GetSettings(nullptr), api.SetSettings(nullptr)}));
    EXPECT_TRUE(rec.Snapshot().empty());  // nothing connected, nothing to tell
}

TEST_F(ExportsTest, ConnectedSessionCallbacksAndRequests) {
    Recorder rec;  // outlives the service, whose closing pipe is reported to it
    FakeService svc;
    int first = 0, other = 0;
    ASSERT_EQ(0u, api.Init(&Recorder::Callback, &first));

    std::vector<Notice> seen = rec.Snapshot();  // taken right after Init returned
    ASSERT_EQ((CodeList{8}), Codes(seen));
    EXPECT_TRUE(seen[0].param == 0 && seen[0].thread == ::GetCurrentThreadId());
    SndDecodedRequest req;
    svc.Request(nCmdSetSessionId, req);
    EXPECT_TRUE(req.wellFormed && req.argument == CurrentSession()) << req.argument;

    // a second init with a null callback keeps the first callback and context
    ASSERT_EQ(0u, api.Init(nullptr, &other));
    ASSERT_EQ(0u, api.GetDeviceList());
    ASSERT_TRUE(rec.WaitForCount(ZKSND_NOTIFY_DEVICE_LIST_END, 1));
    seen = rec.Snapshot();
    ASSERT_EQ((CodeList{8, 300, 300, 301}), Codes(seen));
    EXPECT_TRUE(seen[1].devName == L"Speakers" && seen[1].def == 1 && seen[2].devName == L"Headset");
    EXPECT_NE(::GetCurrentThreadId(), seen[1].thread);  // the delivery thread
    for (const Notice& n : seen) EXPECT_EQ(&first, n.context) << "code " << n.code;
    svc.Request(nCmdGetDeviceList, req);
    EXPECT_TRUE(req.wellFormed);

    EXPECT_EQ(0u, api.SetDefault(0xDEADBEEF));
    svc.Request(nCmdSetDefaultDevice, req);
    EXPECT_TRUE(req.wellFormed && req.argument == 0xDEADBEEFu);

    // Only known, well-formed notifications reach the application.
    uint8_t m[256];
    svc.Send(0, SndBuildServerInfo(m, sizeof(m), "info", 5), m);
    for (uint32_t evt : {4u, 5u, 6u, 7u, 8u, 9u, 1234u}) svc.Send(0, SndBuildNotification(m, sizeof(m), evt, nullptr, 0), m);
    size_t n = SndBuildNotification(m, sizeof(m), eZkSndRdpVDeviceInfo, nullptr, 0);
    SndStoreU32(m, kSndOffAsyncFlag, 0), svc.Send(0, n, m);
    svc.Send(0, SndBuildDeviceInfo(m, sizeof(m), 0, 0, 1, 0, u"Cut", 3) - 2, m);  // name runs off the end
    svc.Send(0, 20, m);  // shorter than the header
    svc.Send(0, SndBuildLastDeviceInfo(m, sizeof(m)), m);
    ASSERT_TRUE(rec.WaitForCount(ZKSND_NOTIFY_DEVICE_LIST_END, 2));
    seen = rec.Snapshot();
    ASSERT_EQ((CodeList{8, 300, 300, 301, 9, 301}), Codes(seen));
    EXPECT_EQ(std::string("info", 5), seen[4].info);

    // A broken pipe: 6 with the session id, then 8 again and a new session id.
    ASSERT_TRUE(svc.server.CloseClient(0));
    ASSERT_TRUE(rec.WaitForCount(ZKSND_NOTIFY_CONNECTED, 2, 10000));
    seen = rec.Snapshot();
    ASSERT_EQ((CodeList{8, 300, 300, 301, 9, 301, 6, 8}), Codes(seen));
    EXPECT_EQ(uintptr_t(CurrentSession()), seen[6].param);
    svc.Request(nCmdSetSessionId, req, 2);
    EXPECT_EQ(CurrentSession(), req.argument);
}

TEST_F(ExportsTest, SettingsRepliesConvertTheirStatusOnce) {
    FakeService svc;
    ASSERT_EQ(0u, api.Init(nullptr, nullptr));
    ASSERT_TRUE(svc.server.WaitForClient(5000));

    struct Case { uint32_t serviceStatus, expected; };
    const Case cases[] = {{0, 0}, {5, 8}, {1168, 5}, {2250, 20}, {122, 3}, {6701, 10}, {8398, 11}, {12345, 1}};
    for (const Case& c : cases) {
        svc.replyStatus = c.serviceStatus;
        SndSettings got, put;
        std::memset(&got, 0xEE, sizeof(got)), std::memset(&put, 0x5A, sizeof(put));
        EXPECT_EQ(c.expected, api.GetSettings(&got)) << "service status " << c.serviceStatus;
        if (c.expected == 0) EXPECT_EQ(0, std::memcmp(got.data, svc.settings, sizeof(got.data)));
        else EXPECT_EQ(0xEE, got.data[0]) << "nothing copied on failure";
        EXPECT_EQ(c.expected, api.SetSettings(&put)) << "service status " << c.serviceStatus;
    }
    SndDecodedRequest req;
    std::vector<uint8_t> f = svc.Request(nCmdSetSettings, req);  // the record and nothing else
    ASSERT_TRUE(req.wellFormed);
    EXPECT_NE(0u, req.requestId);
    EXPECT_TRUE(f[kSndOffPayload] == 0x5A && f.back() == 0x5A);

    // (no reply within the 3 s wait: Hostile.WaitsKeepTheirBudgets)
}
