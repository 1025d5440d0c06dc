// The emulator's server as the reference service and as the hostile-service kit, in process, seen
// by a raw client end of its pipe. Every test here serves a pipe of its own name; none may run in
// parallel with another program serving the same name (one Wine prefix is one pipe namespace).

#include <windows.h>

#include <aclapi.h>
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "support/WorkerThread.h"
#include "support/lumlib.h"
#include "tests/support/HostileService.h"
#include "tests/support/ProcessCounters.h"
#include "tests/support/RawPipeClient.h"
#include "tools/common/ConsoleOut.h"
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
TEST(HostileService, EachFaultShowsOnTheWire) {
    const std::string raw = "refused " + std::to_string(tessaline_emu::kEmuRawLength);
    const std::string huge = "refused " + std::to_string(tessaline_emu::kEmuHugeNotificationSize);
    const struct {
        ServiceFault fault;
        std::string greeting, answer;
        DWORD silentMs;  // no answer before this
    } rows[] = {
        {ServiceFault::kNone, "event 1", "reply 7 (10): status 0", 0},
        {ServiceFault::kShortFrame, "8 bytes", "8 bytes", 0},
        {ServiceFault::kRawLength, raw, raw, 0},  // the reader refuses it for good
        {ServiceFault::kHugeNotification, huge, huge, 0},
        {ServiceFault::kChurn, "event 1", "closed", 0},
        {ServiceFault::kSlowReply, "event 1", "reply 7 (10): status 0", 3000},  // notifications are not held back
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(zk_testkit::FaultName(row.fault));
        CHostileService service(row.fault, zk_testkit::UniquePipeName(L"hostile"));
        ASSERT_TRUE(service.Start());
        const unsigned long long before = testkit::CommittedPrivateBytes();
        CRawPipeClient client;
        ASSERT_EQ(0u, client.Open(Path(service.Name())));
        EXPECT_EQ(row.greeting, client.Next());
        client.Send(Request(SndBuildGetSettings, 7));  // a churned connection may be gone already
        if (row.silentMs != 0) {
            EXPECT_EQ("timeout", client.Next(nullptr, row.silentMs));
        }
        EXPECT_EQ(row.answer, client.Next(nullptr, CHostileService::kSlowReplyMs));
        EXPECT_TRUE(service.WaitForConnections(1, 5000));
        // The kit streams its 64 MiB notification, so a memory test of a client sees the client's own use.
        EXPECT_LT(testkit::CommittedPrivateBytes(), before + kMemorySlack);
    }
}

TEST(HostileService, StopReadingLeavesTheClientsWritePending) {
    CHostileService service(ServiceFault::kStopReading, zk_testkit::UniquePipeName(L"deaf"));
    ASSERT_TRUE(service.Start());
    CRawPipeClient client;
    ASSERT_EQ(0u, client.Open(Path(service.Name())));
    EXPECT_EQ("event 1", client.Next());
    // Writes complete while the pipe's buffer takes them; a bounded number fills it.
    int sent = 0;
    while (sent < 64 && client.Send(Request(SndBuildGetSettings, 1), true, 1000)) ++sent;
    EXPECT_LT(sent, 64) << "every write completed: the service reads after all";
    EXPECT_EQ(0u, service.Messages());
}

TEST(HostileService, BusyOnlyInstanceKeepsADefaultWaiterWaitingUntilReleased) {
    CHostileService service(ServiceFault::kBusyOnlyInstance, zk_testkit::UniquePipeName(L"busy"));
    ASSERT_TRUE(service.Start());
    CRawPipeClient client;
    EXPECT_EQ(static_cast<DWORD>(ERROR_PIPE_BUSY), client.Open(Path(service.Name())));
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
    ASSERT_EQ(0u, thread.Start(&Waiter::Main, &waiter));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(thread.handle(), 1500));  // not 50 ms
    ASSERT_TRUE(service.ReleaseHeldInstance());
    if (::WaitForSingleObject(thread.handle(), 10000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the waiter did not get the released instance";
        ::TerminateThread(thread.handle(), 1);  // watchdog: it would wait for 24 days
    }
    thread.Join();
    EXPECT_TRUE(waiter.result);
    ASSERT_EQ(0u, client.Open(Path(service.Name())));
    EXPECT_EQ("event 1", client.Next());
    EXPECT_TRUE(service.WaitForConnections(1, 5000));
}

// --fault names the wire faults; an unknown one is refused with its name.
TEST(Emulator, FaultOption) {
    tessaline_emu::EmuOptions options;
    std::wstring error;
    ASSERT_TRUE(tessaline_emu::ParseEmuOptions({L"--fault", L"raw-length"}, &options, &error));
    EXPECT_EQ(tessaline_emu::EmuFault::kRawLength, options.fault);
    EXPECT_FALSE(tessaline_emu::ParseEmuOptions({L"--fault=loud"}, &options, &error));
    EXPECT_EQ(L"--fault: unknown fault 'loud'", error);
}

// The reference service: a second server on a served name is refused, the pipe's DACL lets everyone read
// and write but not create instances, and a claimed session that the pipe contradicts is flagged.
TEST(Emulator, GuardsItsPipeAndChecksTheClaimedSession) {
    std::mutex lock;
    std::vector<std::wstring> lines;
    tessaline_emu::EmuOptions options;
    options.pipeName = zk_testkit::UniquePipeName(L"ref");
    options.output = [&](const std::wstring& line) {
        std::lock_guard<std::mutex> hold(lock);
        lines.push_back(line);
    };
    tessaline_emu::CEmuState state(tessaline_emu::DefaultDevices(), L"");
    tessaline_emu::CEmuServer first(options, state), second(options, state);
    ASSERT_EQ(0u, first.Start());
    const DWORD refused = second.Start();
    EXPECT_TRUE(refused == ERROR_PIPE_BUSY || refused == ERROR_ACCESS_DENIED) << refused;

    tessaline_emu::CServicePipeSecurity security;
    ASSERT_TRUE(security.Build());
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(security.descriptor(), &present, &dacl, &defaulted) && present && dacl);
    bool everyone = false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        PSID sid = reinterpret_cast<PSID>(&ace->SidStart);
        if (std::memcmp(::GetSidIdentifierAuthority(sid), &world, sizeof(world)) != 0) continue;
        everyone = true;
        EXPECT_EQ(FILE_READ_DATA | FILE_WRITE_DATA, ace->Mask & (FILE_READ_DATA | FILE_WRITE_DATA));
        EXPECT_EQ(0u, ace->Mask & (FILE_CREATE_PIPE_INSTANCE | GENERIC_ALL | GENERIC_WRITE | WRITE_DAC));
    }
    EXPECT_TRUE(everyone);

    // Wine answers GetNamedPipeClientSessionId with this process's session, like Windows for a local client.
    DWORD mine = 0;
    ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &mine));
    CRawPipeClient client;
    ASSERT_EQ(0u, client.Open(Path(options.pipeName)));
    EXPECT_EQ("event 1", client.Next());
    for (uint32_t claimed : {static_cast<uint32_t>(mine), static_cast<uint32_t>(mine) + 7})
        ASSERT_TRUE(client.Send(Request(SndBuildSetSessionId, claimed)));
    ASSERT_TRUE(client.Send(Request(SndBuildGetSettings, 2)));
    EXPECT_EQ("reply 2 (10): status 0", client.Next());  // answered after both claims were handled
    first.Stop();
    std::wstring all;
    for (const std::wstring& line : lines) all += line + L"\n";
    for (const std::wstring& expected :
         {zktools::Format(L"connected (pipe: session %lu)", mine),
          zktools::Format(L"session %lu (pipe: session %lu)", mine, mine),
          zktools::Format(L"session %lu [warning: the pipe reports session %lu]", mine + 7, mine)})
        EXPECT_NE(std::wstring::npos, all.find(expected)) << zktools::ToUtf8(expected) << "\n" << zktools::ToUtf8(all);
}

}  // namespace
