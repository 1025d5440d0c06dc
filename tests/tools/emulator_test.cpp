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

#include "pipes/FrameReader.h"
#include "support/WorkerThread.h"
#include "support/lumlib.h"
#include "tests/support/HostileService.h"
#include "tools/common/ConsoleOut.h"
#include "tools/tessaline-emu/EmuServer.h"
#include "virt/api/SndProtocol.h"

namespace {

using zk_testkit::CHostileService;
using zk_testkit::ServiceFault;

// The client end of a pipe, reading whole messages with a time-out.
class CRawEnd {
public:
    // 0 or the error of CreateFileW.
    DWORD Open(const std::wstring& name) {
        m_pipe.reset(::CreateFileW((L"\\\\.\\pipe\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        return m_pipe.is_valid() ? 0 : ::GetLastError();
    }
    // One overlapped write or read, cancelled after timeoutMs: 0, or the error (ERROR_OPERATION_ABORTED: timed out).
    DWORD Transfer(bool write, void* data, DWORD size, DWORD timeoutMs, DWORD* done) {
        OVERLAPPED ov = {};
        ov.hEvent = m_event.get();
        if (!(write ? ::WriteFile(m_pipe.get(), data, size, nullptr, &ov) : ::ReadFile(m_pipe.get(), data, size, nullptr, &ov)) &&
            ::GetLastError() != ERROR_IO_PENDING)
            return ::GetLastError();
        if (::WaitForSingleObject(m_event.get(), timeoutMs) != WAIT_OBJECT_0) ::CancelIoEx(m_pipe.get(), &ov);
        return ::GetOverlappedResult(m_pipe.get(), &ov, done, TRUE) ? 0 : ::GetLastError();
    }
    bool Send(const std::vector<uint8_t>& message, DWORD timeoutMs = 5000) {
        std::vector<uint8_t> frame = MakeFrame(message);
        DWORD done = 0;
        return Transfer(true, frame.data(), static_cast<DWORD>(frame.size()), timeoutMs, &done) == 0 &&
               done == frame.size();
    }
    // The next message as "event E", "reply ID: status S", "N bytes", or "timeout", "closed",
    // "refused N" (a length field above 1 MiB), "error E".
    std::string Next(DWORD timeoutMs = 5000) {
        const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
        std::vector<uint8_t> m;
        for (;;) {
            const CFrameReader::Result r = m_reader.Next(&m);
            if (r == CFrameReader::kFrame) break;
            if (r == CFrameReader::kTooLarge) return "refused " + std::to_string(m_reader.Announced());
            const ULONGLONG now = ::GetTickCount64();
            DWORD got = 0;
            const DWORD error = Transfer(false, m_buffer, sizeof(m_buffer), now >= deadline ? 0 : DWORD(deadline - now), &got);
            if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) return "closed";
            if (error != 0) return error == ERROR_OPERATION_ABORTED ? "timeout" : "error " + std::to_string(error);
            m_reader.Append(m_buffer, got);
        }
        SndDecodedMsg d = {};
        switch (SndDecodeMessage(m.data(), m.size(), d)) {
        case SndMsgKind::Reply: return "reply " + std::to_string(d.requestId) + ": status " + std::to_string(d.status);
        case SndMsgKind::Notification: return "event " + std::to_string(d.event);
        default: return std::to_string(m.size()) + " bytes";
        }
    }

private:
    CHandleHolder m_pipe;
    CHandleHolder m_event{lumlib::NewEvent()};
    uint8_t m_buffer[65536];
    CFrameReader m_reader;
};

std::vector<uint8_t> GetSettings(uint32_t id) {
    std::vector<uint8_t> request(kSndMaxRequestSize);
    request.resize(SndBuildGetSettings(request.data(), request.size(), id));
    return request;
}

// Each fault as a plain client meets it: what the first two messages are, with a get-settings request between.
TEST(HostileService, EachFaultShowsOnTheWire) {
    const std::string raw = "refused " + std::to_string(tessaline_emu::kEmuRawLength);
    const std::string huge = "refused " + std::to_string(tessaline_emu::kEmuHugeNotificationSize);
    const struct {
        ServiceFault fault;
        std::string greeting, answer;
    } rows[] = {
        {ServiceFault::kNone, "event 1", "reply 7: status 0"},
        {ServiceFault::kShortFrame, "8 bytes", "8 bytes"},
        {ServiceFault::kRawLength, raw, raw},  // the reader refuses it for good
        {ServiceFault::kHugeNotification, huge, huge},
        {ServiceFault::kChurn, "event 1", "closed"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(zk_testkit::FaultName(row.fault));
        CHostileService service(row.fault, zk_testkit::UniquePipeName(L"hostile"));
        ASSERT_TRUE(service.Start());
        CRawEnd client;
        ASSERT_EQ(0u, client.Open(service.Name()));
        EXPECT_EQ(row.greeting, client.Next());
        client.Send(GetSettings(7));  // a churned connection may be gone already
        EXPECT_EQ(row.answer, client.Next());
        EXPECT_TRUE(service.WaitForConnections(1, 5000));
    }
}

TEST(HostileService, SlowReplyComesAfterTheClientsWait) {
    CHostileService service(ServiceFault::kSlowReply, zk_testkit::UniquePipeName(L"slow"));
    ASSERT_TRUE(service.Start());
    CRawEnd client;
    ASSERT_EQ(0u, client.Open(service.Name()));
    EXPECT_EQ("event 1", client.Next());  // notifications are not held back
    ASSERT_TRUE(client.Send(GetSettings(3)));
    EXPECT_EQ("timeout", client.Next(3000));  // the library gives up after 3 s
    EXPECT_EQ("reply 3: status 0", client.Next(CHostileService::kSlowReplyMs));
}

TEST(HostileService, StopReadingLeavesTheClientsWritePending) {
    CHostileService service(ServiceFault::kStopReading, zk_testkit::UniquePipeName(L"deaf"));
    ASSERT_TRUE(service.Start());
    CRawEnd client;
    ASSERT_EQ(0u, client.Open(service.Name()));
    EXPECT_EQ("event 1", client.Next());
    // Writes complete while the pipe's buffer takes them; a bounded number fills it.
    int sent = 0;
    while (sent < 64 && client.Send(GetSettings(1), 1000)) ++sent;
    EXPECT_LT(sent, 64) << "every write completed: the service reads after all";
    EXPECT_EQ(0u, service.Messages());
}

TEST(HostileService, BusyOnlyInstanceKeepsADefaultWaiterWaitingUntilReleased) {
    CHostileService service(ServiceFault::kBusyOnlyInstance, zk_testkit::UniquePipeName(L"busy"));
    ASSERT_TRUE(service.Start());
    CRawEnd client;
    EXPECT_EQ(static_cast<DWORD>(ERROR_PIPE_BUSY), client.Open(service.Name()));
    // A wait with the pipe's default time-out (24 days) on a thread of its own.
    struct Waiter {
        std::wstring path;
        BOOL result = FALSE;
        static unsigned __stdcall Main(void* self) {
            Waiter* w = static_cast<Waiter*>(self);
            w->result = ::WaitNamedPipeW(w->path.c_str(), NMPWAIT_USE_DEFAULT_WAIT);
            return 0;
        }
    } waiter{L"\\\\.\\pipe\\" + service.Name()};
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
    ASSERT_EQ(0u, client.Open(service.Name()));
    EXPECT_EQ("event 1", client.Next());
    EXPECT_TRUE(service.WaitForConnections(1, 5000));
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
    CRawEnd client;
    ASSERT_EQ(0u, client.Open(options.pipeName));
    EXPECT_EQ("event 1", client.Next());
    for (uint32_t claimed : {static_cast<uint32_t>(mine), static_cast<uint32_t>(mine) + 7}) {
        std::vector<uint8_t> request(kSndMaxRequestSize);
        request.resize(SndBuildSetSessionId(request.data(), request.size(), claimed));
        ASSERT_TRUE(client.Send(request));
    }
    ASSERT_TRUE(client.Send(GetSettings(2)));
    EXPECT_EQ("reply 2: status 0", client.Next());  // answered after both claims were handled
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
