// The emulator's server as the hostile-service kit, in process, seen by a raw client end of its pipe,
// and the reference service's pipe security. Every test here serves a pipe of its own name; none may run in
// parallel with another program serving the same name (one Wine prefix is one pipe namespace).

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/WorkerThread.h"
#include "support/lumlib.h"
#include "tests/support/HostileService.h"
#include "tests/support/ProcessCounters.h"
#include "tests/support/RawPipeClient.h"
#include "tools/tessaline-emu/EmuServer.h"
#include "virt/api/SndProtocol.h"

namespace {

using zk_testkit::CHostileService;
using zk_testkit::CRawPipeClient;
using zk_testkit::Request;
using zk_testkit::ServiceFault;

// Far below the huge notification, far above what the kit and the raw client need.
const unsigned long long kMemorySlack = 16u << 20;

std::wstring Path(const std::wstring& name) { return L"\\\\.\\pipe\\" + name; }

// Each fault as a plain client meets it: the first message, then the answer to a get-settings request,
// which a slow reply holds back past the library's 3-second wait.
struct WireRow {
    ServiceFault fault;
    std::string greeting, answer;
    DWORD silentMs;  // no answer before this
};

class HostileWire : public testing::TestWithParam<WireRow> {};

TEST_P(HostileWire, FaultShowsOnTheWire) {
    const WireRow& row = GetParam();
    CHostileService service(row.fault, zk_testkit::UniquePipeName(L"hostile"));
    ASSERT_TRUE(service.Start()) << "the kit could not serve its pipe";
    const unsigned long long before = testkit::CommittedPrivateBytes();
    CRawPipeClient client;
    ASSERT_EQ(0u, client.Open(Path(service.Name()))) << "the client could not open the pipe";
    EXPECT_EQ(row.greeting, client.Next()) << "the first message";
    client.Send(Request(SndBuildGetSettings, 7));  // a churned connection may be gone already
    if (row.silentMs != 0) {
        EXPECT_EQ("timeout", client.Next(nullptr, row.silentMs)) << "an answer came before " << row.silentMs << " ms";
    }
    EXPECT_EQ(row.answer, client.Next(nullptr, CHostileService::kSlowReplyMs)) << "the answer to get-settings";
    EXPECT_TRUE(service.WaitForConnections(1, 5000)) << "the service did not count the connection";
    // The kit streams its 64 MiB notification, so a memory test of a client sees the client's own use.
    EXPECT_LT(testkit::CommittedPrivateBytes(), before + kMemorySlack) << "the kit held a fault's bytes in memory";
}

const std::string kRefusedRaw = "refused " + std::to_string(tessaline_emu::kEmuRawLength);
const std::string kRefusedHuge = "refused " + std::to_string(tessaline_emu::kEmuHugeNotificationSize);
const WireRow kWireRows[] = {
    {ServiceFault::kNone, "event 1", "reply 7 (10): status 0", 0},
    {ServiceFault::kShortFrame, "8 bytes", "8 bytes", 0},
    {ServiceFault::kRawLength, kRefusedRaw, kRefusedRaw, 0},  // the reader refuses it for good
    {ServiceFault::kHugeNotification, kRefusedHuge, kRefusedHuge, 0},
    {ServiceFault::kChurn, "event 1", "closed", 0},
    {ServiceFault::kSlowReply, "event 1", "reply 7 (10): status 0", 3000},  // notifications are not held back
};
INSTANTIATE_TEST_SUITE_P(Faults, HostileWire, testing::ValuesIn(kWireRows), [](const testing::TestParamInfo<WireRow>& row) {
    std::string name = zk_testkit::FaultName(row.param.fault);
    name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
    return name;
});

TEST(HostileService, StopReadingLeavesTheClientsWritePending) {
    CHostileService service(ServiceFault::kStopReading, zk_testkit::UniquePipeName(L"deaf"));
    ASSERT_TRUE(service.Start()) << "the kit could not serve its pipe";
    CRawPipeClient client;
    ASSERT_EQ(0u, client.Open(Path(service.Name()))) << "the client could not open the pipe";
    EXPECT_EQ("event 1", client.Next()) << "the greeting";
    // Writes complete while the pipe's buffer takes them; a bounded number fills it.
    int sent = 0;
    while (sent < 64 && client.Send(Request(SndBuildGetSettings, 1), true, 1000)) ++sent;
    EXPECT_LT(sent, 64) << "every write completed: the service reads after all";
    EXPECT_EQ(0u, service.Messages()) << "the service read a message";
}

TEST(HostileService, BusyOnlyInstanceKeepsADefaultWaiterWaitingUntilReleased) {
    CHostileService service(ServiceFault::kBusyOnlyInstance, zk_testkit::UniquePipeName(L"busy"));
    ASSERT_TRUE(service.Start()) << "the kit could not serve its pipe";
    CRawPipeClient client;
    EXPECT_EQ(static_cast<DWORD>(ERROR_PIPE_BUSY), client.Open(Path(service.Name()))) << "the only instance is free";
    // A wait with the pipe's default time-out (24 days) on a thread of its own.
    struct Waiter {
        std::wstring path;
        BOOL result = FALSE;
        static unsigned __stdcall Main(void* self) {
            Waiter* w = static_cast<Waiter*>(self);
            w->result = ::WaitNamedPipeW(w->path.c_str(), NMPWAIT_USE_DEFAULT_WAIT);
            return 0;
        }
    } waiter{Path(service.Name())};
    lumlib::CWorkerThread thread;
    ASSERT_EQ(0u, thread.Start(&Waiter::Main, &waiter)) << "the waiter's thread did not start";
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(thread.handle(), 1500))
        << "the default wait ended early (50 ms instead of the pipe's)";
    ASSERT_TRUE(service.ReleaseHeldInstance()) << "the kit could not release its instance";
    if (::WaitForSingleObject(thread.handle(), 10000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the waiter did not get the released instance";
        ::TerminateThread(thread.handle(), 1);  // watchdog: it would wait for 24 days
    }
    thread.Join();
    EXPECT_TRUE(waiter.result) << "WaitNamedPipe failed after the instance was released";
    ASSERT_EQ(0u, client.Open(Path(service.Name()))) << "the released instance did not open";
    EXPECT_EQ("event 1", client.Next()) << "the greeting";
    EXPECT_TRUE(service.WaitForConnections(1, 5000)) << "the service did not count the connection";
}

// The reference service's pipe: its DACL lets everyone read and write but not create instances (checked on
// the ACEs: Wine enforces neither pipe DACLs nor FILE_FLAG_FIRST_PIPE_INSTANCE).
TEST(Emulator, PipeDaclLetsEveryoneReadAndWriteButNotCreateInstances) {
    tessaline_emu::CServicePipeSecurity security;
    ASSERT_TRUE(security.Build()) << "the security descriptor was not built";
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(security.descriptor(), &present, &dacl, &defaulted)) << ::GetLastError();
    ASSERT_TRUE(present) << "the descriptor has no DACL";
    ASSERT_NE(nullptr, dacl) << "a null DACL lets everyone do everything";
    bool everyone = false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&ace))) << "ACE " << i;
        if (!::IsWellKnownSid(&ace->SidStart, WinWorldSid)) continue;
        everyone = true;
        EXPECT_EQ(FILE_READ_DATA | FILE_WRITE_DATA, ace->Mask & (FILE_READ_DATA | FILE_WRITE_DATA)) << "everyone reads and writes";
        EXPECT_EQ(0u, ace->Mask & (FILE_CREATE_PIPE_INSTANCE | GENERIC_ALL | GENERIC_WRITE | WRITE_DAC))
            << "everyone may create instances or change the DACL";
    }
    EXPECT_TRUE(everyone) << "no ACE for everyone";
}

}  // namespace
