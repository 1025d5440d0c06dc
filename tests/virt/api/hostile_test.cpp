// The exports against a service that misbehaves and an application that is
// careless: every scenario runs under a watchdog, so a hang fails the run
// instead of holding up CI.
#include <gtest/gtest.h>
#include <process.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <regex>
#include <thread>

#include "support/LumCapture.h"
#include "support/HostileService.h"
#include "support/ProcessCounters.h"
#include "support/TestPipeServer.h"
#include "support/Watchdog.h"
#include "tests/virt/api/Api.h"
#include "virt/api/SndServiceMessages.h"

namespace {

ULONGLONG Now() { return ::GetTickCount64(); }

// ERROR lines of the log that contain text.
size_t ErrorLines(const std::wstring& text) {
    size_t n = 0;
    for (const std::wstring& line : ReadLogLines()) n += line.find(L"[ERROR]") != std::wstring::npos && line.find(text) != std::wstring::npos;
    return n;
}

using testkit::Watchdog;

bool HeapChecked() {
    char value[256] = "";
    const DWORD n = ::GetEnvironmentVariableA("WINEDEBUG", value, sizeof(value));
    return n > 0 && n < sizeof(value) && std::strstr(value, "heap") != nullptr;
}

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
        for (int i = 0; fault == ServiceFault::kStopReading && i < 20; ++i) Dll().GetDeviceList();  // the pipe fills
        // A request left waiting for a reply ends with the teardown.
        zk_testkit::Background waiter([&] { SndSettings s; Dll().GetSettings(&s); });
        ::Sleep(300);
        EXPECT_LE(TimedDeInit(), fault == ServiceFault::kNone ? 300u : 3000u);
        EXPECT_TRUE(waiter.Finished(1000));
        EXPECT_TRUE(cb.Balanced());
    }
}

// Waits keep their budgets: one-way calls say what they say within 0.3 s, and
// ZkSndGetSettings gives 1 after its 3 s when no connection or no reply comes,
// the settings when the service is back in time. Rows: no service; the only
// instance held by another client (the keeper waits in the open); right after
// callback 6 (the lost channel goes at once, the service is back a second
// later); replies later than the wait.
TEST_F(Hostile, WaitsKeepTheirBudgets) {
    struct Row { const char* name; zk_testkit::ServiceFault fault; bool served, drop; uint32_t oneWay, settings; };
    for (const Row& row : {Row{"no service", zk_testkit::ServiceFault::kNone, false, false, ZKSND_STATUS_NOT_CONNECTED, 1},
                           Row{"only instance busy", zk_testkit::ServiceFault::kBusyOnlyInstance, true, false, ZKSND_STATUS_NOT_CONNECTED, 1},
                           Row{"right after callback 6", zk_testkit::ServiceFault::kNone, true, true, ZKSND_STATUS_NOT_CONNECTED, 0},
                           Row{"replies too late", zk_testkit::ServiceFault::kSlowReply, true, false, 0, 1}}) {
        SCOPED_TRACE(row.name);
        Watchdog dog(row.name, 30000);
        zk_testkit::CHostileService service(row.fault);
        ASSERT_TRUE(!row.served || service.Start());
        Recorder cb;
        ASSERT_EQ(0u, Dll().Init(&Recorder::Callback, nullptr));
        if (row.drop) {
            ASSERT_TRUE(service.WaitForConnections(1, 5000));  // the service has listed it: the drop reaches it
            service.DropConnections();
            ASSERT_TRUE(cb.WaitForCount(ZKSND_NOTIFY_CONNECTION_LOST, 1));
        }
        // One-way calls while the settings call waits: two, or (busy) one every
        // 50 ms, across the keeper's attempts to open.
        uint32_t settings = 99;
        const ULONGLONG start = Now();
        zk_testkit::Background request([&] { SndSettings s; settings = Dll().GetSettings(&s); });
        for (int i = 0; i < 2 || (row.fault == zk_testkit::ServiceFault::kBusyOnlyInstance && !request.Finished(50)); ++i) {
            const ULONGLONG called = Now();
            EXPECT_EQ(row.oneWay, i % 2 ? Dll().SetDefault(1) : Dll().GetDeviceList());
            EXPECT_LE(Now() - called, 300u);
        }
        EXPECT_TRUE(request.Finished(5000));
        const ULONGLONG took = Now() - start;
        EXPECT_EQ(row.settings, settings);
        EXPECT_TRUE(row.settings == 0 ? took <= 3000 : took >= 2500 && took <= 3500) << took << " ms";
        EXPECT_LE(TimedDeInit(), row.settings == 0 ? 300u : 3000u);  // a healthy service: at once
        EXPECT_TRUE(cb.Balanced());
    }
}

// Faults the kit has no row for, written raw on the kit's first connection:
// - stops reading while the application floods it with one-way calls: past
//   the 4 MiB outgoing cap each call returns 2 and nothing more is committed;
//   then either a frame too short to be a message (the transfer thread waits in
//   a write with its send lock while the dispatch thread drops the connection;
//   no export may wait for that write), or nothing: after 10 s without progress
//   the write ends the connection with an ERROR line;
// - half a frame, then nothing;
// - a length header asking for 4 GiB, and a 64 MiB notification (written in
//   1 MiB pieces, so the service itself holds little): the connection ends,
//   the keeper connects again, and nothing of the size stays committed.
TEST_F(Hostile, RawFaultsEndTheConnectionWithoutHangingOrCommittingTheirSize) {
    struct Row { const char* name; uint32_t length, sent; bool stopsReading; };  // sent: after the length
    const Row rows[] = {{"stops reading, then a short frame", 5, 5, true}, {"stops reading, then nothing", 0, 0, true},
                        {"half a frame", 100, 10, false}, {"4 GiB length", 0xFFFFFFF0u, 0, false},
                        {"64 MiB notification", 64u << 20, 64u << 20, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::wstring refusal = L"frame of " + std::to_wstring(row.length) + L" bytes is longer than";
        const size_t refusalsBefore = ErrorLines(refusal), stallsBefore = ErrorLines(L"the service read nothing for");
        Watchdog dog(row.name, 40000);
        zk_testkit::CHostileService service(row.stopsReading ? zk_testkit::ServiceFault::kStopReading : zk_testkit::ServiceFault::kNone);
        ASSERT_TRUE(service.Start());
        Recorder cb;
        ASSERT_EQ(0u, Dll().Init(&Recorder::Callback, nullptr));
        ::Sleep(300);  // the connection's threads and buffers are all there
        const uint64_t before = testkit::CommittedPrivateBytes();
        uint32_t results[3] = {};  // 0, 2, anything else
        for (uint32_t i = 0; row.stopsReading && i < 3000; ++i) {
            const uint32_t r = i % 2 ? Dll().GetDeviceList() : Dll().SetDefault(i);
            ++results[r == 0 ? 0 : r == 2 ? 1 : 2];
        }
        if (SndSettings s; row.stopsReading) {
            EXPECT_EQ(2u, Dll().GetSettings(&s));  // not queued either
            EXPECT_TRUE(results[0] > 100 && results[0] < 600 && results[2] == 0) << results[0] << " " << results[2];
        }
        std::vector<uint8_t> chunk(1 << 20, 0);
        SndStoreU32(chunk.data(), 0, row.length);
        SndStoreU32(chunk.data(), 4, row.length);  // a notification's prefix
        uint64_t sent = 0;
        for (uint64_t left = 4 + uint64_t(row.sent), n; left != 0; left -= n, sent += n)
            if (n = std::min<uint64_t>(left, chunk.size()); !service.Write(chunk.data(), size_t(n))) break;
        if (row.sent != 10) {  // all but half a frame end the connection
            EXPECT_TRUE(cb.WaitForCount(ZKSND_NOTIFY_CONNECTION_LOST, 1, 20000));  // the write's bound is 10 s
            EXPECT_TRUE(service.WaitForConnections(2, 5000));  // connected again
            EXPECT_TRUE(cb.WaitForCount(ZKSND_NOTIFY_CONNECTED, 2, 5000));
            ULONGLONG start = Now();
            Dll().SetDefault(1);  // the client lock is free
            EXPECT_LT(Now() - start, 1000u);
        }
        EXPECT_LT(testkit::CommittedPrivateBytes(), before + (16u << 20)) << "committed before: " << before;
        EXPECT_LT(sent, 32u << 20) << "the client went on reading";
        EXPECT_LE(TimedDeInit(), 3000u);  // also writes the log out
        EXPECT_TRUE(cb.Balanced());
        if (row.length > (1u << 20)) {
            EXPECT_LT(refusalsBefore, ErrorLines(refusal));
        }
        EXPECT_EQ(stallsBefore + (row.length == 0), ErrorLines(L"the service read nothing for"));
    }
}

// Takes ms over each 9 and 300 (context: the StormCallback); sets lost on 6.
struct StormCallback {
    DWORD ms;
    CHandleHolder lost{lumlib::NewEvent()};
    static void Callback(uint32_t code, uintptr_t, void* context) {
        auto* self = static_cast<StormCallback*>(context);
        if (code == ZKSND_NOTIFY_CONNECTION_LOST) ::SetEvent(self->lost.get());
        if (code == ZKSND_NOTIFY_DEVICE_INFO || code == ZKSND_NOTIFY_SERVER_INFO) ::Sleep(self->ms);
    }
};

// A service that streams notifications as fast as the pipe takes them (64 KiB
// of frames a write), against a slower callback: the library reads on (past
// 4 MiB waiting for the callback they are dropped), commits at most its budget
// (16 MiB and a frame; the rest of the bound is the service's side, in this
// process too), a request made meanwhile gets its reply, the drops cost one
// ERROR line a second, and callback 6 comes at once when the service goes.
TEST_F(Hostile, NotificationStormsAgainstASlowCallbackStayWithinTheBudget) {
    struct Row { const char* name; DWORD callbackMs; uint32_t size; uint64_t bytes; };  // size 0: device records; bytes 0: 5 s
    const Row rows[] = {{"device records, 20 ms callback", 20, 0, 0}, {"256 MiB of device records, 2 ms callback", 2, 0, 256u << 20},
                        {"1 MB server information, 500 ms callback", 500, 1000000, 64u << 20}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Watchdog dog(row.name, 90000);
        zk_testkit::CHostileService service(zk_testkit::ServiceFault::kNone);
        ASSERT_TRUE(service.Start());
        std::vector<uint8_t> message(row.size ? row.size : 256), payload(row.size ? row.size - kSndHeaderSize : 0, 'i'), batch;
        message.resize(row.size ? SndBuildServerInfo(message.data(), message.size(), payload.data(), payload.size())
                                : SndBuildDeviceInfo(message.data(), message.size(), 1, 0, 1, 0, u"Storm", 5));
        for (const std::vector<uint8_t> frame = MakeFrame(message); batch.size() < 65536;) batch.insert(batch.end(), frame.begin(), frame.end());
        StormCallback cb{row.callbackMs};
        const size_t dropLines = ErrorLines(L"dropped so far");
        ASSERT_EQ(0u, Dll().Init(&StormCallback::Callback, &cb));
        const uint64_t before = testkit::CommittedPrivateBytes();  // the threads (Wine commits their stacks) are there
        std::atomic<uint64_t> stormed{0};  // ends with the limit or the connection
        zk_testkit::Background storm([&] {
            service.WaitForConnections(1, 5000);
            while ((!row.bytes || stormed < row.bytes) && service.Write(batch.data(), batch.size())) stormed += batch.size();
        });
        uint64_t peak = 0;
        uint32_t settings = 99;
        const ULONGLONG start = Now();
        for (; row.bytes ? stormed < row.bytes : Now() - start < 5000; ::Sleep(20)) {
            peak = std::max(peak, testkit::CommittedPrivateBytes());
            if (SndSettings s; settings == 99 && Now() - start > 1000) settings = Dll().GetSettings(&s);
            if (Now() - start > 60000) break;
        }
        EXPECT_TRUE(row.bytes == 0 || stormed >= row.bytes) << "the library stopped reading";
        EXPECT_EQ(0u, settings) << "the reply waited behind the storm";
        // The library's 17 MiB, and the in-process service's side: the storm
        // thread's stack (Wine commits all 2 MiB) and its writes in flight.
        // Wine's heap checker pads every block: no budget holds under it.
        if (!HeapChecked()) {
            EXPECT_LT(peak, before + (24u << 20)) << "committed before: " << before;
        }
        service.Stop();
        EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(cb.lost.get(), 5000)) << "callback 6 waited behind the storm";
        EXPECT_LE(TimedDeInit(), 3000u);  // also tells the last drops
        const size_t lines = ErrorLines(L"dropped so far") - dropLines;
        EXPECT_TRUE(lines >= 1 && lines <= (Now() - start) / 1000 + 2) << lines;
    }
}

// 30,000 notifications with event 0: each is an ERROR line in the log every
// process shares, so at most ten a second of them are written and one report
// counts the rest; a device list asked for after them shows they were all handled.
TEST_F(Hostile, AFloodOfUnknownEventsIsLimitedInTheSharedLog) {
    Watchdog dog("unknown events", 60000);
    zk_testkit::CHostileService service(zk_testkit::ServiceFault::kNone);
    ASSERT_TRUE(service.Start());
    const uint32_t unknown[8] = {kSndHeaderSize, 0, 0, 0, 0, 0, 1, 0};  // size, request 0, link, command, event 0, args, async
    const std::vector<uint8_t> frame = MakeFrame(unknown, sizeof(unknown));
    std::vector<uint8_t> batch;
    for (int k = 0; k < 1000; ++k) batch.insert(batch.end(), frame.begin(), frame.end());
    const std::vector<std::wstring> before = ReadLogLines();
    Recorder cb;
    ASSERT_EQ(0u, Dll().Init(&Recorder::Callback, nullptr));
    ASSERT_TRUE(service.WaitForConnections(1, 5000));
    const ULONGLONG start = Now();
    for (int k = 0; k < 30; ++k) ASSERT_TRUE(service.Write(batch.data(), batch.size()));
    ASSERT_EQ(0u, Dll().GetDeviceList());
    ASSERT_TRUE(cb.WaitForCount(ZKSND_NOTIFY_DEVICE_LIST_END, 1, 30000));
    const ULONGLONG seconds = (Now() - start) / 1000 + 2;
    EXPECT_LE(TimedDeInit(), 3000u);  // reports what is still held back
    const std::vector<std::wstring> lines = ReadLogLines();
    const std::wregex report(LR"(ERROR.*LimitRepeats: \(\d+\): (\d+) more lines like this one suppressed.*unknown evt: 0)");
    uint64_t written = 0, suppressed = 0;
    std::wsmatch m;
    for (size_t i = before.size(); i < lines.size(); ++i) {
        if (std::regex_search(lines[i], m, report))
            suppressed += std::stoull(m[1].str());
        else if (lines[i].find(L"OnNotification: (") != std::wstring::npos && lines[i].find(L"unknown evt: 0") != std::wstring::npos)
            ++written;
    }
    EXPECT_LE(written, seconds * 10) << "in " << seconds << " s";
    EXPECT_EQ(written + suppressed, 30000u);
}

// ZkSndDeInit or ZkSndVCleanUp from inside callbacks 8 (on the application's
// thread in Init, and on the keeper), 6 (dispatch thread) and 300 (delivery
// thread): each returns 0 at once, no callback follows, a later Init works and
// a DeInit from the application's thread is bounded. Besides:
// - then Init: ZkSndVApiInit follows inside the callback, ten times while the
//   application only asks for devices. Both return 0, each new client
//   connects once the old one is retired, and the keeper joins the retirement
//   threads: no handles pile up until the application's next lifecycle call.
// - by the application: callback 300 calls ZkSndVApiInit again and again
//   while the application's thread tears down (waiting for that callback):
//   the teardown wins, that Init returns 1 and creates nothing.
TEST_F(Hostile, TeardownFromInsideTheCallback) {
    enum How { kInside, kThenInit, kByApplication };
    struct Row { uint32_t code; bool deinit; How how; };
    for (const Row& row : {Row{8, true, kInside}, Row{6, false, kInside}, Row{300, true, kInside}, Row{8, false, kInside},
                           Row{300, true, kThenInit}, Row{300, true, kByApplication}, Row{300, false, kByApplication}}) {
        SCOPED_TRACE(testing::Message() << "code " << row.code << (row.deinit ? " DeInit" : " CleanUp") << " how " << row.how);
        Watchdog dog("teardown from the callback", 60000);
        zk_testkit::CHostileService service(row.code == 6 ? zk_testkit::ServiceFault::kChurn : zk_testkit::ServiceFault::kNone);
        ASSERT_TRUE(service.Start());
        Recorder cb;
        cb.withDeInit = row.deinit, cb.initAfter = row.how == kThenInit;
        std::atomic<int> initResult{-1};
        if (row.how == kByApplication) cb.inside = [&](uint32_t code) {
            for (ULONGLONG end = Now() + 5000; code == row.code && initResult <= 0 && Now() < end; ::Sleep(1))
                initResult = int(Dll().Init(&Recorder::Callback, nullptr));  // 0 until the teardown begins
        };
        if (row.code != 300) cb.teardownOn = row.code;
        ASSERT_EQ(0u, Dll().Init(&Recorder::Callback, nullptr));
        long handles = 0;  // once the first new client is there
        for (size_t round = 1; round <= (row.how == kThenInit ? 10u : 1u); ++round) {
            if (row.code == 300 && row.how != kByApplication) cb.teardownOn = row.code;
            if (row.code == 300) { EXPECT_EQ(0u, Dll().GetDeviceList()); }
            ASSERT_TRUE(cb.WaitForCount(row.code, round));
            if (row.how == kByApplication) {
                cb.teardownResult = int(row.deinit ? Dll().DeInit() : Dll().CleanUp());
                cb.Add(Notice{0, 0, nullptr, 0});
                EXPECT_EQ(1, initResult.load());
            }
            for (ULONGLONG end = Now() + 5000; cb.teardownResult < 0 && Now() < end;) ::Sleep(10);
            EXPECT_EQ(0, cb.teardownResult.load());
            EXPECT_LT(cb.teardownMs.load(), 500u);
            if (row.how == kThenInit) { ASSERT_TRUE(cb.WaitForCount(ZKSND_NOTIFY_CONNECTED, round + 1)); }
            if (row.how == kThenInit) { EXPECT_EQ(0, cb.initResult.load()); }
            if (round == 1) handles = testkit::ProcessHandleCount();
            cb.teardownResult = cb.initResult = -1;
        }
        if (row.how == kThenInit) {
            for (ULONGLONG end = Now() + 5000; testkit::ProcessHandleCount() > handles + 4 && Now() < end;) ::Sleep(100);
            EXPECT_LE(testkit::ProcessHandleCount(), handles + 4) << "from " << handles;
        } else {
            auto events = [&] { return cb.Count(ZKSND_NOTIFY_CONNECTED) + cb.Count(ZKSND_NOTIFY_CONNECTION_LOST); };
            const size_t seen = events();
            EXPECT_EQ(1u, Dll().GetDeviceList()) << "no client after the teardown";
            ::Sleep(1500);  // the keeper would have connected again by now
            EXPECT_EQ(seen, events()) << "a callback came after the teardown";
            ASSERT_EQ(0u, Dll().Init(&Recorder::Callback, nullptr));
            EXPECT_TRUE(cb.WaitForCount(ZKSND_NOTIFY_CONNECTED, 2, 5000));
        }
        EXPECT_LE(TimedDeInit(), 3000u);
        EXPECT_TRUE(cb.Balanced());
    }
}

// Every callback throws, as an MSVC-built application does (_CxxThrowException
// raises 0xE06D7363, non-continuable) or as this library's runtime does: 8 on
// the application's thread in Init, 9, 300 and 301 on the delivery thread, 6
// on the dispatch thread. Each is caught and logged at ERROR with both codes,
// and the thread goes on. (GCC frames of the test's callback get no cleanups
// on the foreign unwind; an MSVC-built callback's would.)
TEST_F(Hostile, ExceptionsFromEveryCallbackAreCaught) {
    for (bool foreign : {true, false}) {
        SCOPED_TRACE(foreign ? "foreign" : "this runtime's");
        Watchdog dog("exceptions from the callback", 30000);
        const std::wstring raised = std::wstring(L"the callback raised exception 0x") + (foreign ? L"E06D7363" : L"20474343");
        const size_t before = ErrorLines(raised);
        zk_testkit::CHostileService service(zk_testkit::ServiceFault::kNone);
        ASSERT_TRUE(service.Start());
        Recorder cb;
        cb.inside = [foreign](uint32_t) {
            ULONG_PTR args[4] = {0x19930520, 0, 0, 0};  // an MSVC exception's magic, no object
            if (foreign) ::RaiseException(0xE06D7363u, EXCEPTION_NONCONTINUABLE, 4, args);
            throw 42;
        };
        ASSERT_EQ(0u, Dll().Init(&Recorder::Callback, nullptr));
        EXPECT_EQ(0u, Dll().GetDeviceList());
        ASSERT_TRUE(cb.WaitForCount(ZKSND_NOTIFY_DEVICE_LIST_END, 1));
        service.Stop();  // the connection breaks
        EXPECT_TRUE(cb.WaitForCount(ZKSND_NOTIFY_CONNECTION_LOST, 1));
        EXPECT_LE(TimedDeInit(), 3000u);  // also writes the log out
        const size_t seen = cb.Snapshot().size();
        EXPECT_EQ(7u, seen) << "8, 9, 300 three times, 301, 6";
        EXPECT_EQ(before + seen, ErrorLines(raised)) << "one line for each";
        EXPECT_TRUE(cb.Balanced());
    }
}

// Two (callback, context) pairs alternate in ZkSndVApiInit while device
// records arrive: every callback gets its own pair's context.
static std::atomic<int> g_pairCalls{0}, g_pairMismatches{0};
template <int Tag>
void PairCallback(uint32_t, uintptr_t, void* context) {
    ++g_pairCalls;
    if (*static_cast<const int*>(context) != Tag) ++g_pairMismatches;
}

TEST_F(Hostile, CallbackAndContextChangeAsOnePair) {
    Watchdog dog("pair swap", 60000);
    zk_testkit::CHostileService service(zk_testkit::ServiceFault::kNone);
    ASSERT_TRUE(service.Start());
    static int tags[2] = {0, 1};
    const ZkSndNotifyCallback callbacks[2] = {&PairCallback<0>, &PairCallback<1>};
    g_pairCalls = g_pairMismatches = 0;
    ASSERT_EQ(0u, Dll().Init(callbacks[0], &tags[0]));
    for (ULONGLONG end = Now() + 10000; g_pairCalls < 5000 && Now() < end;) {
        Dll().GetDeviceList();
        for (int i = 0; i < 200; ++i) Dll().Init(callbacks[i % 2], &tags[i % 2]);
    }
    EXPECT_EQ(0, g_pairMismatches.load()) << "in " << g_pairCalls << " callbacks";
    EXPECT_GE(g_pairCalls.load(), 1000);
    EXPECT_LE(TimedDeInit(), 3000u);
}

// Four threads in ZkSndGetSettings (the service never replies) while another
// calls ZkSndVCleanUp: all return, none touches the freed client, and the
// Init/CleanUp rounds leave no thread behind.
TEST_F(Hostile, CallsInFlightSurviveCleanUpOnAnotherThread) {
    Watchdog dog("calls in flight", 60000);
    zk_testkit::CTestPipeServer service;  // reads, never answers
    ASSERT_TRUE(service.Start());
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
    cb.inside = [&](uint32_t code) {
        if (code != ZKSND_NOTIFY_CONNECTED) return;
        if (size_t c = clients++; c < 2 && server.WaitForClients(c + 1, 5000) && server.CloseClient(c)) ::Sleep(300);
    };
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
