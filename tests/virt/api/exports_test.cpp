// The exports end to end: zksndapi.dll loaded with LoadLibraryW, resolved
// with GetProcAddress, against the emulated service (the hostile-service kit
// without a fault) on the service's pipe.
#include <gtest/gtest.h>
#include <windows.h>

#include "pipes/FrameReader.h"
#include "support/HostileService.h"
#include "support/Watchdog.h"
#include "tests/virt/api/Api.h"
#include "tools/tessaline-emu/DeviceFile.h"
#include "virt/api/SndProtocol.h"
#include "virt/api/SndServiceMessages.h"

namespace {

using CodeList = std::vector<uint32_t>;
CodeList Codes(const std::vector<Notice>& seen) {
    CodeList codes;
    for (const Notice& n : seen) codes.push_back(n.code);
    return codes;
}

// Started against the emulated service, the callback recording.
class Connected : public DllTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(DllTest::SetUp());
        ASSERT_TRUE(service.Start()) << "the service's pipe could not be served";
        ASSERT_EQ(0u, api.Init(&Recorder::Callback, &context));
    }
    // Writes a message, framed, on the connection (after the service's greeting).
    void Send(const uint8_t* message, size_t length) {
        const std::vector<uint8_t> frame = MakeFrame(message, length);
        EXPECT_TRUE(service.Write(frame.data(), frame.size())) << "the connection ended";
    }
    Api& api = Dll();
    testkit::Watchdog dog{"exports", 30000};
    zk_testkit::CHostileService service{zk_testkit::ServiceFault::kNone};
    int context = 0;
    Recorder rec;  // last: it tears the library down before the service and the context go
};

}  // namespace

using ExportsTest = DllTest;

TEST_F(ExportsTest, WithoutAClientEveryCallHasItsDefinedStatus) {
    Api& api = Dll();
    const CodeList got = {api.IsLocked(), api.GetDeviceList(),     api.SetDefault(3), api.GetSettings(nullptr),
                          api.SetSettings(nullptr), api.CleanUp(), api.CleanUp(),     api.DeInit()};
    EXPECT_EQ((CodeList{1, 1, 1, 1, 1, 0, 0, 0}), got)
        << "IsLocked, GetDeviceList, SetDefault, GetSettings and SetSettings with null (the client check "
           "comes before the pointer check), CleanUp twice, DeInit";
}

// Callback 8 on the caller's thread before ZkSndVApiInit returned; then,
// after a second Init without a callback (which keeps the first pair), the
// records in the service's order, each with its name and default flag, on the
// delivery thread, then 301, every callback with the first context.
TEST_F(Connected, TheDeviceListComesAsOneCallbackPerDeviceThenItsEnd) {
    ASSERT_FALSE(rec.Snapshot().empty()) << "no callback before Init returned";
    int other = 0;
    ASSERT_EQ(0u, api.Init(nullptr, &other)) << "the second Init";
    ASSERT_EQ(0u, api.GetDeviceList());
    ASSERT_TRUE(rec.WaitForCount(ZKSND_NOTIFY_DEVICE_LIST_END, 1)) << "no list end within 5 s";
    const std::vector<Notice> seen = rec.Snapshot();
    ASSERT_EQ((CodeList{8, 9, 300, 300, 300, 301}), Codes(seen));
    EXPECT_EQ(0u, seen[0].param) << "callback 8's param";
    EXPECT_EQ(::GetCurrentThreadId(), seen[0].thread) << "callback 8 ran on another thread";
    for (const Notice& n : seen) EXPECT_EQ(&context, n.context) << "code " << n.code;
    const std::vector<tessaline_emu::EmuDevice> devices = tessaline_emu::DefaultDevices();
    for (size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(devices[i].name, seen[2 + i].devName) << "device " << i;
        EXPECT_EQ(devices[i].def, seen[2 + i].def) << "device " << i << "'s default flag";
        EXPECT_NE(::GetCurrentThreadId(), seen[2 + i].thread) << "device " << i << " came on the caller's thread";
    }
}

// The caller's session id on connecting, a device value as it is; null
// settings records go nowhere.
TEST_F(Connected, RequestsCarryTheirArgumentAsItIs) {
    EXPECT_EQ(uint32_t(ZKSND_STATUS_INVALID_PARAMETER), api.GetSettings(nullptr)) << "ZkSndGetSettings(nullptr)";
    EXPECT_EQ(uint32_t(ZKSND_STATUS_INVALID_PARAMETER), api.SetSettings(nullptr)) << "ZkSndSetSettings(nullptr)";
    EXPECT_EQ(0u, api.SetDefault(0xDEADBEEF));
    DWORD session = 0;
    ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) << "this process's session";
    const struct { uint32_t command; uint32_t argument; } rows[] = {
        {nCmdSetSessionId, session},
        {nCmdSetDefaultDevice, 0xDEADBEEF},
    };
    for (const auto& row : rows) {
        const std::vector<zk_testkit::ReceivedRequest> sent = service.Requests(row.command, 1, 5000);
        ASSERT_EQ(1u, sent.size()) << "requests of command " << row.command;
        EXPECT_TRUE(sent[0].wellFormed) << "the sizes of command " << row.command;
        EXPECT_EQ(row.argument, sent[0].argument) << "the argument of command " << row.command;
    }
}

// Unknown events, callback codes as events, a reply-less notification not
// marked asynchronous, a device record whose name runs off the end and a
// message shorter than a header reach nobody; the list end after them does.
TEST_F(Connected, OnlyKnownWellFormedNotificationsReachTheApplication) {
    ASSERT_TRUE(rec.WaitForCount(ZKSND_NOTIFY_SERVER_INFO, 1)) << "the greeting";
    uint8_t m[256] = {};
    for (uint32_t event : {4u, 5u, 6u, 7u, 8u, 9u, 1234u}) Send(m, SndBuildNotification(m, sizeof(m), event, nullptr, 0));
    const size_t synchronous = SndBuildNotification(m, sizeof(m), eZkSndRdpVDeviceInfo, nullptr, 0);
    SndStoreU32(m, kSndOffAsyncFlag, 0);
    Send(m, synchronous);
    Send(m, SndBuildDeviceInfo(m, sizeof(m), 0, 0, 1, 0, u"Cut", 3) - 2);
    Send(m, 20);  // shorter than a header
    Send(m, SndBuildLastDeviceInfo(m, sizeof(m)));
    ASSERT_TRUE(rec.WaitForCount(ZKSND_NOTIFY_DEVICE_LIST_END, 1)) << "no list end within 5 s";
    EXPECT_EQ((CodeList{8, 9, 301}), Codes(rec.Snapshot()));
}
