#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "client_test_util.h"
#include "pipes/SinglePipeClient.h"
#include "support/ProcessCounters.h"
#include "support/TestPipeServer.h"

using client_test::Now;
using zk_testkit::CTestPipeServer;

namespace {

// Records every hook; reads each announced message whole, with ReceiveAlloc
// or with Receive (which must first refuse a 1-byte capacity).
class Probe : public CSinglePipeClient {
public:
    explicit Probe(LumSecurityAttributes* sa = nullptr)
        : CSinglePipeClient(sa), m_hold(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
              m_gate(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Probe() override { Stop(); }

    void OnDataAvailable(uint32_t size) override {
        std::vector<uint8_t> m(size);
        uint8_t* p = m.data();
        uint32_t n = 1;
        if (!useAlloc && (Receive(&p, &n) != 0 || n != size)) return;  // never recorded: the test fails
        if (!(useAlloc ? ReceiveAlloc(&p, &n) : Receive(&p, &n))) return;
        rec.Note([&] { messages.emplace_back(p, p + n); });
        if (useAlloc) free(p);
    }
    uint32_t OnInitConnection() override {
        uint32_t result = 0, raises = 0;  // read with the count, so a test changes them between attempts
        rec.Note([&] { ++inits; initThread = ::GetCurrentThreadId(); result = initResult; raises = initRaises; });
        if (raises != 0) throw new CLumException(raises, L"Test", 1, L"");
        return result;
    }
    void OnConnectionLost() override { rec.Note([&] { ++lost; messagesAtLoss = messages.size(); }); }
    void OnConnectFailed(uint32_t count) override { rec.Note([&] { failures.push_back(count); failedAt.push_back(Now()); }); }
    void OnConnectionClosed(CConnection* connection) override {
        CSinglePipeClient::OnConnectionClosed(connection);
        rec.Note([&] { ++closed; });
        // keeps this retired channel's dispatch thread running
        if (holdNextClose.exchange(false)) ::WaitForSingleObject(m_hold, 10000);
    }
    uint32_t Connect() override {
        if (gateKeeper && ::GetCurrentThreadId() != testThread) {
            rec.Note([&] { keeperGated = true; });
            ::WaitForSingleObject(m_gate, 10000);  // no more sweeps while gated
        }
        return CSinglePipeClient::Connect();
    }
    void Stop() override {
        ::SetEvent(m_gate);
        CSinglePipeClient::Stop();
    }
    size_t FinishedRetired() {
        lumlib::__auto_locker lock(m_clientLock);
        lock.Lock();
        size_t n = 0;
        for (CSinglePipeChannel* c : m_retired) n += c->RequestStop();
        return n;
    }

    client_test::Recorder rec;
    bool useAlloc = true;
    uint32_t initResult = 1, initRaises = 0;
    std::atomic<bool> holdNextClose{false}, gateKeeper{false};
    DWORD testThread = ::GetCurrentThreadId();
    int inits = 0, lost = 0, closed = 0;
    bool keeperGated = false;
    DWORD initThread = 0;
    size_t messagesAtLoss = 0;
    std::vector<std::vector<uint8_t>> messages;
    std::vector<uint32_t> failures;
    std::vector<ULONGLONG> failedAt;
    CHandleHolder m_hold, m_gate;
};

}  // namespace

TEST(SinglePipeClient, OperationsBeforeStartAndAfterStopDoNothing) {
    Probe c;
    EXPECT_STREQ(c.GetPipeName(), zk_testkit::kServicePipeName);
    EXPECT_EQ(c.GetStatus(), 2250u);
    uint8_t byte = 1, *p = &byte;
    uint32_t n = 1;
    EXPECT_EQ(c.Send(&byte, 1), 2250u);
    EXPECT_EQ(c.Receive(&p, &n) + c.ReadData(&byte, &n), 0u);
    EXPECT_EQ(c.Connect(), 2250u);
    c.Disconnect();
    c.Stop();
    EXPECT_EQ(c.Start(), 0u);  // a stopped client is not started again: no attempt is made
    EXPECT_EQ(c.GetFailureCount(), 0u);
    EXPECT_EQ(c.Push(&byte, 1), 0u);  // the transfer worker is gone
}

TEST(SinglePipeClient, RetriesOnceASecondUntilTheServerAppears) {
    LumSecurityAttributes* sa = new LumSecurityAttributes();
    ASSERT_TRUE(BuildEveryoneAccess(sa) && AddLowIntegrityLabel(sa));
    Probe c(sa);  // opens every time with the record and frees it when destroyed
    ASSERT_EQ(c.Start(), 0u);
    EXPECT_EQ(c.GetStatus(), 2250u);
    EXPECT_EQ(c.Start(), 0u);  // started already: no second attempt
    uint8_t byte = 0;
    EXPECT_EQ(c.Send(&byte, 1), 2250u);
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.failures.size() >= 3; }, 8000));
    auto at = c.rec.Get(c.failedAt);
    EXPECT_EQ(c.rec.Get(c.failures), (std::vector<uint32_t>{1, 2, 3}));
    for (int i = 1; i < 3; ++i) {  // about a second apart
        EXPECT_GE(at[i] - at[i - 1], 700u);
        EXPECT_LE(at[i] - at[i - 1], 2500u);
    }

    CTestPipeServer server;
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.inits == 1; }, 3000));
    EXPECT_NE(c.rec.Get(c.initThread), ::GetCurrentThreadId());  // on KeeperThread
    ASSERT_TRUE(server.WaitForClient(2000));
    EXPECT_EQ(c.Connect(), 0u);  // connected: no new attempt
    EXPECT_EQ(c.rec.Get(c.inits), 1);
    EXPECT_EQ(c.GetStatus() + c.GetFailureCount(), 0u);
    auto m = client_test::Message(20, 7, 1);
    EXPECT_EQ(c.Send(m.data(), 20) + c.Post(m.data(), 20), 0u);
    ASSERT_TRUE(server.WaitForFrames(2, 3000));
    EXPECT_EQ(server.Frame(0), m);
    EXPECT_EQ(server.Frame(1), m);
}

// A rejected or failing OnInitConnection drops the new connection once and the
// keeper tries again; the failure count is not touched.
TEST(SinglePipeClient, FailedInitConnectionDropsTheChannelAndRetries) {
    struct Case { uint32_t result, raises, connect; } cases[] = {{0, 0, 2250}, {1, 1236, 2250}, {1, 5, 5}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.raises);
        CTestPipeServer server;
        ASSERT_TRUE(server.Start());
        Probe c;
        c.initResult = k.result;
        c.initRaises = k.raises;
        ASSERT_EQ(c.Start(), 0u);
        EXPECT_EQ(c.GetStatus(), k.connect);
        EXPECT_FALSE(c.HasChannel());
        EXPECT_EQ(c.GetRetiredCount(), 0u);
        EXPECT_EQ(c.GetFailureCount(), 0u);
        EXPECT_EQ(c.rec.Get(c.closed), 1);  // released exactly once
        ASSERT_TRUE(server.WaitForClientGone(0, 2000));
        ASSERT_TRUE(c.rec.WaitFor([&] { return c.inits == 2; }, 3000));
        c.rec.Note([&] { c.initResult = 1; c.initRaises = 0; });
        ASSERT_TRUE(c.rec.WaitFor([&] { return c.inits == 3; }, 3000));
        EXPECT_TRUE(c.HasChannel());
        EXPECT_EQ(c.rec.Get(c.closed), 2);
    }
}

TEST(SinglePipeClient, RefusedCallerKeepsRetrying) {
    CTestPipeServer::Options options;
    options.refuseClients = true;  // opening for reading and writing fails with 5
    CTestPipeServer server(options);
    ASSERT_TRUE(server.Start());
    Probe c;
    ASSERT_EQ(c.Start(), 0u);
    EXPECT_EQ(c.GetStatus(), 5u);
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.failures.size() >= 2; }, 4000));
    EXPECT_EQ(c.GetStatus(), 5u);
    EXPECT_EQ(c.rec.Get(c.failures), (std::vector<uint32_t>{1, 2}));
}

// A connection the server closes is reported lost once, after the messages
// already received; one this side drops is not reported. Both reconnect.
TEST(SinglePipeClient, LostOrDroppedConnectionIsRetiredAndReplaced) {
    struct Case { bool byServer, useAlloc; } cases[] = {{true, true}, {true, false}, {false, true}};
    for (const Case& k : cases) {
        CTestPipeServer server;
        ASSERT_TRUE(server.Start());
        Probe c;
        c.useAlloc = k.useAlloc;
        ASSERT_EQ(c.Start(), 0u);
        ASSERT_TRUE(server.WaitForClient(2000));
        auto a = client_test::Message(100, 0, 1), b = client_test::Message(30, 0, 2);
        if (k.byServer) {
            ASSERT_TRUE(server.WriteFrame(0, a) && server.WriteFrame(0, b));
            ASSERT_TRUE(server.CloseClient(0));  // right away: both frames are still on their way
        } else {
            c.Disconnect();
        }
        ASSERT_TRUE(c.rec.WaitFor([&] { return c.closed == 1; }, 3000));
        ULONGLONG lostAt = Now();
        EXPECT_EQ(c.rec.Get(c.lost), k.byServer ? 1 : 0);
        if (k.byServer) {
            EXPECT_EQ(c.rec.Get(c.messagesAtLoss), 2u);
            EXPECT_EQ(c.rec.Get(c.messages), (std::vector<std::vector<uint8_t>>{a, b}));
        }
        ASSERT_TRUE(server.WaitForClients(2, 4000));
        EXPECT_LE(Now() - lostAt, 3000u);  // the next keeper pass
        ASSERT_TRUE(c.rec.WaitFor([&] { return c.inits == 2; }, 2000));
        for (int i = 0; i < 300 && c.GetRetiredCount() != 0; ++i) ::Sleep(10);  // swept by a keeper pass
        EXPECT_EQ(c.GetRetiredCount(), 0u);
        EXPECT_EQ(c.rec.Get(c.lost), k.byServer ? 1 : 0);
    }
}

TEST(SinglePipeClient, StopDeletesCurrentRunningAndFinishedChannels) {
    CTestPipeServer server;
    ASSERT_TRUE(server.Start());
    Probe c;
    c.gateKeeper = true;
    ASSERT_EQ(c.Start(), 0u);
    ASSERT_TRUE(server.WaitForClient(2000));
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.keeperGated; }, 3000));
    // A: retired while its dispatch thread is held; B: retired and finished; C: current.
    c.holdNextClose = true;
    ASSERT_TRUE(server.CloseClient(0));
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.closed == 1; }, 3000));
    ASSERT_EQ(c.Connect(), 0u);
    ASSERT_TRUE(server.WaitForClients(2, 2000));
    ASSERT_TRUE(server.CloseClient(1));
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.closed == 2; }, 3000));
    for (int i = 0; i < 300 && c.FinishedRetired() != 1; ++i) ::Sleep(10);
    ASSERT_EQ(c.Connect(), 0u);
    ASSERT_TRUE(server.WaitForClients(3, 2000));
    ASSERT_TRUE(c.HasChannel());
    ASSERT_EQ(c.GetRetiredCount(), 2u);
    ASSERT_EQ(c.FinishedRetired(), 1u);

    std::thread release([&] { ::Sleep(300); ::SetEvent(c.m_hold); });
    ULONGLONG start = Now();
    c.Stop();
    EXPECT_GE(Now() - start, 250u);  // waited for the held channel
    release.join();
    EXPECT_FALSE(c.HasChannel());
    EXPECT_EQ(c.GetRetiredCount(), 0u);
    EXPECT_TRUE(server.WaitForClientGone(2, 2000));
    uint8_t byte = 0;
    EXPECT_EQ(c.Push(&byte, 1), 0u);
    EXPECT_EQ(c.Send(&byte, 1), 2250u);
}

// Connection cycles leave no thread and no handle behind once the client is gone.
TEST(SinglePipeClient, ConnectCloseCyclesLeaveNothingBehind) {
    auto run = [](int cycles) {
        CTestPipeServer server;
        ASSERT_TRUE(server.Start());
        Probe c;
        ASSERT_EQ(c.Start(), 0u);
        for (int i = 0; i < cycles; ++i) {
            ASSERT_TRUE(server.WaitForClients(i + 1, 3000));
            ASSERT_TRUE(server.CloseClient(i));
            ASSERT_TRUE(c.rec.WaitFor([&] { return c.closed == i + 1; }, 3000));
            EXPECT_EQ(c.Connect(), 0u);  // faster than waiting for the keeper
        }
        ASSERT_TRUE(server.WaitForClients(cycles + 1, 3000));
        EXPECT_TRUE(c.HasChannel());
    };
    run(1);  // first use of pipes and threads may allocate for good
    long threads = testkit::ProcessThreadCount(), handles = testkit::ProcessHandleCount();
    run(50);
    EXPECT_LE(testkit::WaitForThreadCountAtMost(threads, 5000), threads);
    if (handles < 0) GTEST_SKIP() << testkit::kNoHandleCountMessage;
    EXPECT_EQ(testkit::ProcessHandleCount(), handles);
}
