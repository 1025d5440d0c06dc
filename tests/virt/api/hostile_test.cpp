// The exports against a service that misbehaves and an application that is
// careless: every scenario runs under a watchdog, so a hang fails the run
// instead of holding up CI.
#include <gtest/gtest.h>
#include <process.h>
#include <windows.h>

#include <thread>

#include "support/LumCapture.h"
#include "support/HostileService.h"
#include "support/ProcessCounters.h"
#include "support/TestPipeServer.h"
#include "tests/virt/api/Api.h"
#include "virt/api/SndProtocol.h"

namespace {

ULONGLONG Now() { return ::GetTickCount64(); }

// ERROR lines of the log that contain text.
size_t ErrorLines(const std::wstring& text) {
    size_t n = 0;
    for (const std::wstring& line : ReadLogLines()) n += line.find(L"[ERROR]") != std::wstring::npos && line.find(text) != std::wstring::npos;
    return n;
}

// Ends the process with a message when a scenario outlives its budget.
struct Watchdog {
    Watchdog(const char* what, DWORD ms) : m_done(lumlib::NewEvent()), m_thread([this, what, ms] {
        if (::WaitForSingleObject(m_done.get(), ms) == WAIT_OBJECT_0) return;
        fprintf(stderr, "watchdog: '%s' still running after %lu ms: a hang\n", what, ms), fflush(stderr);
        ::TerminateProcess(::GetCurrentProcess(), 3);
    }) {}
    ~Watchdog() { ::SetEvent(m_done.get()), m_thread.join(); }
    CHandleHolder m_done;
    std::thread m_thread;
};

// One instance of the service's pipe, served on a thread by a behaviour that
// gets the connected server end. Its default time-out is a day, so a client
// waiting for it with the server's default would wait a day.
class RawService {
public:
    using Behaviour = std::function<void(RawService&, HANDLE pipe)>;
    explicit RawService(Behaviour behaviour, DWORD inBuffer = 65536)
        : m_stop(lumlib::NewEvent()), m_behaviour(std::move(behaviour)), m_inBuffer(inBuffer), m_instance(Create()),
          m_thread([this] { Serve(); }) {}
    ~RawService() { ::SetEvent(m_stop.get()), m_thread.join(); }
    HANDLE stop() const { return m_stop.get(); }
    bool WaitConnections(long count, DWORD ms) {
        for (ULONGLONG end = Now() + ms; m_connections < count && Now() <= end;) ::Sleep(10);
        return m_connections >= count;
    }
    // Overlapped I/O on the server end that the stop event ends; bytes moved.
    DWORD Io(HANDLE pipe, bool write, void* data, DWORD size) {
        CHandleHolder done(lumlib::NewEvent());
        OVERLAPPED ov = {0, 0, {}, done.get()};
        DWORD n = 0;
        BOOL ok = write ? ::WriteFile(pipe, data, size, &n, &ov) : ::ReadFile(pipe, data, size, &n, &ov);
        if (!ok && ::GetLastError() != ERROR_IO_PENDING) return 0;
        HANDLE waits[2] = {done.get(), m_stop.get()};
        if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) ::CancelIo(pipe);
        return ::GetOverlappedResult(pipe, &ov, &n, TRUE) ? n : 0;
    }
    // Waits until the client has closed its end (or stop).
    void AwaitClose(HANDLE pipe) { for (uint8_t sink[4096]; Io(pipe, false, sink, sizeof(sink)) != 0;) {} }
    std::atomic<long> m_connections{0};

private:
    HANDLE Create() {
        const std::wstring path = std::wstring(L"\\\\.\\pipe\\") + zk_testkit::kServicePipeName;
        return ::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, m_inBuffer,
                                  24 * 3600 * 1000, nullptr);
    }
    void Serve() {
        while (!lumlib::IsSignalled(m_stop.get())) {
            if (!m_instance.is_valid()) m_instance.reset(Create());
            CHandleHolder done(lumlib::NewEvent());
            OVERLAPPED ov = {0, 0, {}, done.get()};
            if (!::ConnectNamedPipe(m_instance.get(), &ov) && ::GetLastError() == ERROR_IO_PENDING) {
                HANDLE waits[2] = {done.get(), m_stop.get()};
                if (DWORD n; ::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
                    return (void)(::CancelIo(m_instance.get()), ::GetOverlappedResult(m_instance.get(), &ov, &n, TRUE));
            }
            ++m_connections;
            m_behaviour(*this, m_instance.get());
            m_instance.reset();  // closed, not disconnected: what was written stays readable
        }
    }

    CHandleHolder m_stop;
    Behaviour m_behaviour;
    DWORD m_inBuffer;
    CHandleHolder m_instance;
    std::thread m_thread;
};

class Hostile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Dll().Complete()); }
    void TearDown() override { Dll().DeInit(); }
    ULONGLONG TimedDeInit() { ULONGLONG start = Now(); EXPECT_EQ(0u, Dll().DeInit()); return Now() - start; }
};

}  // namespace

// Teardown and start stay bounded whatever the service does: one row per
// fault of the hostile-service kit.
TEST_F(Hostile, TeardownAndStartAreBoundedWhateverTheServiceDoes) {
    using zk_testkit::ServiceFault;
    for (ServiceFault fault : {ServiceFault::kNone, ServiceFault::kStopReading, ServiceFault::kShortFrame, ServiceFault::kBusyOnlyInstance,
                               ServiceFault::kRawLength, ServiceFault::kHugeNotification, ServiceFault::kSlowReply, ServiceFault::kChurn}) {
        SCOPED_TRACE(zk_testkit::FaultName(fault));
        Watchdog dog(zk_testkit::FaultName(fault), 30000);
        zk_testkit::CHostileService service(fault);
        ASSERT_TRUE(service.Start());
        Recorder cb;
        ULONGLONG start = Now();
        ASSERT_EQ(0u, Dll().Init(&Recorder::Callback, nullptr));
        EXPECT_LE(Now() - start, 1500u);
        if (SndSettings s; fault == ServiceFault::kNone) { EXPECT_EQ(0u, Dll().GetSettings(&s)); }
        for (int i = 0; fault == ServiceFault::kStopReading && i < 20; ++i) Dll().GetDeviceList();  // the pipe fills
        // A request left waiting for a reply ends with the teardown.
        uint32_t pending = 99;
        zk_testkit::Background waiter([&] { SndSettings s; pending = Dll().GetSettings(&s); });
        ::Sleep(300);
        EXPECT_LE(TimedDeInit(), fault == ServiceFault::kNone ? 300u : 3000u);
        EXPECT_TRUE(waiter.Finished(1000));
        EXPECT_NE(99u, pending);
        EXPECT_TRUE(cb.Balanced());
    }
}

// Faults the kit has no row for, on a raw instance of the service's pipe:
// - stops reading, then sends a frame too short to be a message: the transfer
//   thread waits in a write with its send lock while the dispatch thread drops
//   the connection; no export may wait for that write;
// - half a frame, then nothing;
// - a length header asking for 4 GiB, and a 64 MiB notification (written in
//   1 MiB pieces, so the service itself holds little): the connection ends,
//   the keeper connects again, and nothing of the size stays committed.
TEST_F(Hostile, RawFaultsEndTheConnectionWithoutHangingOrCommittingTheirSize) {
    struct Row { const char* name; uint32_t length, sent; DWORD inBuffer; bool stopsReading; };  // sent: after the length
    const Row rows[] = {{"stops reading, then a short frame", 5, 5, 1024, true}, {"half a frame", 100, 10, 65536, false},
                        {"4 GiB length", 0xFFFFFFF0u, 0, 65536, false}, {"64 MiB notification", 64u << 20, 64u << 20, 65536, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::wstring refusal = L"frame of " + std::to_wstring(row.length) + L" bytes is longer than";
        const size_t refusalsBefore = ErrorLines(refusal);
        Watchdog dog(row.name, 30000);
        CHandleHolder send(lumlib::NewEvent());
        std::atomic<uint64_t> sent{0};
        RawService service([&](RawService& s, HANDLE pipe) {
            if (s.m_connections > 1) return s.AwaitClose(pipe);  // the reconnection
            HANDLE waits[2] = {send.get(), s.stop()};
            if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) return;
            std::vector<uint8_t> chunk(1 << 20, 0);
            SndStoreU32(chunk.data(), 0, row.length);
            SndStoreU32(chunk.data(), 4, row.length);  // a notification's prefix
            uint64_t left = 4 + uint64_t(row.sent);
            for (DWORD n = 1; left != 0 && n != 0; left -= n, sent += n)
                n = s.Io(pipe, true, chunk.data(), DWORD(left < chunk.size() ? left : chunk.size()));
            s.AwaitClose(pipe);
        }, row.inBuffer);
        Recorder cb;
        ASSERT_EQ(0u, Dll().Init(&Recorder::Callback, nullptr));
        for (int i = 0; row.stopsReading && i < 40; ++i) EXPECT_EQ(0u, Dll().GetDeviceList());
        ::Sleep(row.stopsReading ? 800 : 300);  // the connection's threads and buffers are all there
        const uint64_t before = testkit::CommittedPrivateBytes();
        ::SetEvent(send.get());
        if (row.sent != 10) {  // all but half a frame end the connection
            EXPECT_TRUE(cb.WaitForCount(ZKSND_NOTIFY_CONNECTION_LOST, 1, 5000));
            EXPECT_TRUE(service.WaitConnections(2, 5000));  // connected again
            EXPECT_TRUE(cb.WaitForCount(ZKSND_NOTIFY_CONNECTED, 2, 5000));
            ULONGLONG start = Now();
            Dll().SetDefault(1);  // the client lock is free
            EXPECT_LT(Now() - start, 1000u);
        }
        EXPECT_LT(testkit::CommittedPrivateBytes(), before + (16u << 20)) << "committed before: " << before;
        EXPECT_LT(sent.load(), 32u << 20) << "the client went on reading";
        EXPECT_LE(TimedDeInit(), 3000u);  // also writes the log out
        EXPECT_TRUE(cb.Balanced());
        if (row.length > (1u << 20)) {
            EXPECT_LT(refusalsBefore, ErrorLines(refusal));
        }
    }
}

// A callback slower than the service: the notifications waiting for it are
// capped at 4 MiB; the rest are dropped with an ERROR line that counts them.
void HeldCallback(uint32_t code, uintptr_t, void* context) {
    if (code != ZKSND_NOTIFY_SERVER_INFO) return;
    auto* calls = static_cast<std::pair<CHandleHolder, std::atomic<int>>*>(context);
    ++calls->second, ::WaitForSingleObject(calls->first.get(), 20000);
}

TEST_F(Hostile, NotificationsForASlowCallbackAreCapped) {
    Watchdog dog("slow callback", 60000);
    const uint32_t kSize = 1000000, kCount = 10;  // 10 MB for a 4 MiB cap
    std::atomic<uint32_t> written{0};
    RawService service([&](RawService& s, HANDLE pipe) {
        std::vector<uint8_t> frame(4 + kSize);
        SndStoreU32(frame.data(), 0, kSize);
        std::vector<uint8_t> payload(kSize - kSndHeaderSize, 'i');
        EXPECT_EQ(kSize, SndBuildServerInfo(frame.data() + 4, kSize, payload.data(), payload.size()));
        while (written < kCount && s.Io(pipe, true, frame.data(), DWORD(frame.size())) == frame.size()) ++written;
        s.AwaitClose(pipe);
    });
    const size_t dropsBefore = ErrorLines(L"notification of 1000000 bytes dropped");
    std::pair<CHandleHolder, std::atomic<int>> calls{CHandleHolder(lumlib::NewEvent()), 0};
    ASSERT_EQ(0u, Dll().Init(&HeldCallback, &calls));
    for (ULONGLONG end = Now() + 20000; written < kCount && Now() < end;) ::Sleep(50);
    EXPECT_EQ(kCount, written.load()) << "the library stopped reading";
    ::Sleep(1000);  // the last ones reach the queue
    ::SetEvent(calls.first.get()), ::Sleep(1000);
    EXPECT_TRUE(calls.second >= 2 && calls.second <= 6) << calls.second;  // one held, at most four queued (and one being queued)
    EXPECT_LE(TimedDeInit(), 3000u);
    EXPECT_LT(dropsBefore, ErrorLines(L"notification of 1000000 bytes dropped"));
}

// ZkSndDeInit or ZkSndVCleanUp from inside callbacks 8 (on the application's
// thread in Init, and on the keeper), 6 (dispatch thread) and 300 (delivery
// thread): each returns 0 at once, no callback follows, a later Init works and
// a DeInit from the application's thread is bounded. An exception from the
// callback is caught.
TEST_F(Hostile, TeardownFromInsideTheCallback) {
    struct Row { uint32_t code; bool deinit; };
    for (const Row& row : {Row{ZKSND_NOTIFY_CONNECTED, true}, Row{ZKSND_NOTIFY_CONNECTION_LOST, false},
                           Row{ZKSND_NOTIFY_DEVICE_INFO, true}, Row{ZKSND_NOTIFY_CONNECTED, false}}) {
        SCOPED_TRACE(testing::Message() << "code " << row.code << (row.deinit ? " DeInit" : " CleanUp"));
        Watchdog dog("teardown from the callback", 30000);
        zk_testkit::CTestPipeServer server;
        server.SetResponder([](zk_testkit::CTestPipeServer& s, size_t client, const std::vector<uint8_t>& frame) {
            SndDecodedRequest req;
            if (!SndDecodeRequest(frame.data(), frame.size(), req) || req.command != nCmdGetDeviceList) return;
            uint8_t m[256];
            s.WriteFrame(client, m, uint32_t(SndBuildDeviceInfo(m, sizeof(m), 1, 1, 1, 0, u"Speakers", 8)));
        });
        ASSERT_TRUE(server.Start());
        Recorder cb;
        cb.withDeInit = row.deinit;
        cb.throwOn8 = true;  // the first 8 raises: caught and logged, nothing else happens
        if (row.code == ZKSND_NOTIFY_CONNECTED) cb.teardownOn = row.code;
        ASSERT_EQ(0u, Dll().Init(&Recorder::Callback, nullptr));
        if (row.code != ZKSND_NOTIFY_CONNECTED) cb.teardownOn = row.code;  // an 8 would take it
        if (row.code == ZKSND_NOTIFY_CONNECTION_LOST) { ASSERT_TRUE(server.WaitForClient(5000) && server.CloseClient(0)); }
        if (row.code == ZKSND_NOTIFY_DEVICE_INFO) { EXPECT_EQ(0u, Dll().GetDeviceList()); }
        ASSERT_TRUE(cb.WaitForCount(row.code, 1, 5000));
        for (ULONGLONG end = Now() + 5000; cb.teardownResult < 0 && Now() < end;) ::Sleep(10);
        EXPECT_EQ(0, cb.teardownResult.load());
        EXPECT_LT(cb.teardownMs.load(), 500u);
        auto events = [&] { return cb.Count(ZKSND_NOTIFY_CONNECTED) + cb.Count(ZKSND_NOTIFY_CONNECTION_LOST); };
        const size_t seen = events();
        EXPECT_EQ(1u, Dll().GetDeviceList()) << "no client after the teardown";
        ::Sleep(1500);  // the keeper would have connected again by now
        EXPECT_EQ(seen, events()) << "a callback came after the teardown";
        ASSERT_EQ(0u, Dll().Init(&Recorder::Callback, nullptr));
        EXPECT_TRUE(cb.WaitForCount(ZKSND_NOTIFY_CONNECTED, 2, 5000));
        EXPECT_LE(TimedDeInit(), 3000u);
        EXPECT_TRUE(cb.Balanced());
    }
}

// Four threads in ZkSndGetSettings (the service never replies) while another
// calls ZkSndVCleanUp: all return, none touches the freed client, and the
// Init/CleanUp rounds leave no thread behind.
TEST_F(Hostile, CallsInFlightSurviveCleanUpOnAnotherThread) {
    Watchdog dog("calls in flight", 60000);
    RawService service([](RawService& s, HANDLE pipe) { s.AwaitClose(pipe); });
    const long threads = testkit::ProcessThreadCount();
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(0u, Dll().Init(nullptr, nullptr));
        std::atomic<int> done{0};
        std::vector<std::thread> callers;
        for (int i = 0; i < 4; ++i) callers.emplace_back([&] { SndSettings s; EXPECT_EQ(1u, Dll().GetSettings(&s)); ++done; });
        ::Sleep(100 * round);
        ULONGLONG start = Now();
        EXPECT_EQ(0u, Dll().CleanUp());
        EXPECT_LE(Now() - start, 3000u);
        for (std::thread& t : callers) t.join();
        EXPECT_EQ(4, done.load());
    }
    EXPECT_EQ(0u, Dll().DeInit());
    EXPECT_LE(testkit::WaitForThreadCountAtMost(threads, 5000), threads);
}

// The service goes away between callback 8 and the session id: the 8 still
// gets its 6, and every later connection is paired too.
TEST_F(Hostile, ConnectionEventsStayBalancedWhenTheServiceLeavesAfterCallback8) {
    Watchdog dog("balanced events", 30000);
    zk_testkit::CTestPipeServer server;
    ASSERT_TRUE(server.Start());
    Recorder cb;
    std::atomic<size_t> clients{0};
    // Before the session id; the 8 can come before the server has recorded the connection.
    cb.on8 = [&] { if (size_t c = clients++; c < 2 && server.WaitForClients(c + 1, 5000) && server.CloseClient(c)) ::Sleep(300); };
    ASSERT_EQ(0u, Dll().Init(&Recorder::Callback, nullptr));
    EXPECT_TRUE(cb.WaitForCount(ZKSND_NOTIFY_CONNECTED, 3, 10000));
    EXPECT_EQ(2u, cb.Count(ZKSND_NOTIFY_CONNECTION_LOST));
    EXPECT_LE(TimedDeInit(), 3000u);
    EXPECT_TRUE(cb.Balanced());
}

// FreeLibrary without ZkSndDeInit, in a child process that lets the library's
// threads run on afterwards and ends with 42 when it did not crash.
TEST(Unload, FreeLibraryWithoutDeInitDoesNotCrash) {
    wchar_t exe[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    Watchdog dog("unload child", 60000);
    EXPECT_EQ(_wspawnl(_P_WAIT, exe, L"child", L"--gtest_also_run_disabled_tests",
                       L"--gtest_filter=UnloadChild.DISABLED_Run", nullptr), 42);
}

TEST(UnloadChild, DISABLED_Run) {
    zk_testkit::CTestPipeServer server;
    ASSERT_TRUE(server.Start());
    HMODULE dll = ::LoadLibraryW(L"zksndapi.dll");
    ASSERT_EQ(0u, Proc<PFN_ZkSndVApiInit>(dll, "ZkSndVApiInit")(nullptr, nullptr));
    ASSERT_TRUE(server.WaitForClient(5000));
    ::FreeLibrary(dll);
    ASSERT_TRUE(server.CloseClient(0));  // the library's threads react to the loss
    ::Sleep(2500);                       // and the keeper connects again
    if (!::testing::Test::HasFailure()) ::ExitProcess(42);
}
