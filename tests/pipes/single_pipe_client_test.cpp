// The single pipe client and its request/response layer, against the test pipe server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "pipes/SinglePipeClientEx.h"
#include "support/LumCapture.h"
#include "support/ProcessCounters.h"
#include "support/TestPipeServer.h"

using zk_testkit::CTestPipeServer;
using Messages = std::vector<std::vector<uint8_t>>;

namespace {

ULONGLONG Now() { return ::GetTickCount64(); }

// Polls every 10 ms, for states no hook announces (a sweep, a count reset after a hook).
bool Until(const std::function<bool()>& done, DWORD timeoutMs) {
    for (ULONGLONG end = Now() + timeoutMs; !done(); ::Sleep(10)) if (Now() > end) return false;
    return true;
}
bool Between(ULONGLONG value, ULONGLONG low, ULONGLONG high) { return low <= value && value <= high; }

// What the client's hooks saw, changed under one mutex; tests wait on it.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    void Note(const std::function<void()>& change) { std::lock_guard<std::mutex> lock(mutex); change(); changed.notify_all(); }
    template <typename T> T Get(const T& field) { std::lock_guard<std::mutex> lock(mutex); return field; }
    bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    }
};

// A message of `size` bytes: length, request number, link status, then bytes derived from `tag`.
std::vector<uint8_t> Message(uint32_t size, uint32_t requestId, uint32_t tag = 0, uint32_t link = 0) {
    std::vector<uint8_t> m(size < 12 ? 12 : size);
    const uint32_t head[3] = {size, requestId, link};
    memcpy(m.data(), head, sizeof(head));
    for (size_t i = 12; i < m.size(); ++i) m[i] = static_cast<uint8_t>(tag * 31 + i);
    return m.resize(size), m;
}

// Records every hook and every message.
class Probe : public CSinglePipeClient {
public:
    Probe() : CSinglePipeClient(nullptr) {}
    ~Probe() override { Stop(); }
    void OnMessage(const uint8_t* p, uint32_t n) override { rec.Note([&] { messages.emplace_back(p, p + n); }); }
    uint32_t OnInitConnection() override { return initThread = ::GetCurrentThreadId(), initResult.load(); }
    void OnConnectionLost() override { rec.Note([&] { ++lost; messagesAtLoss = messages; }); }
    void OnConnectFailed(uint32_t count, const lumlib::LumFailure&) override { rec.Note([&] { failures.push_back(count); }); }
    void OnConnectionClosed(CConnection* c) override { CSinglePipeClient::OnConnectionClosed(c), rec.Note([&] { ++closed; }); }

    Recorder rec;
    std::atomic<DWORD> initResult{1}, initThread{0};
    int lost = 0, closed = 0;
    Messages messages, messagesAtLoss;
    std::vector<uint32_t> failures;
};

class ExProbe : public CSinglePipeClientEx {
public:
    ExProbe() : CSinglePipeClientEx(nullptr) {}
    ~ExProbe() override { Stop(); }
    void OnNotification(const uint8_t* m, uint32_t n) override { rec.Note([&] { notes.emplace_back(m, m + n); }); }
    // Sends one request of `size` bytes: 0 when its echo came back, 13 for any other reply.
    uint32_t Request(uint32_t size, uint32_t tag) {
        std::vector<uint8_t> request = Message(size, 0, tag);
        lumlib::CByteBlock reply;
        const uint32_t result = SendRequest(request.data(), reply);
        return result == 0 && (reply.capacity() != size || memcmp(reply.get(), request.data(), size) != 0) ? 13 : result;
    }
    Recorder rec;
    Messages notes;
};

void Echo(CTestPipeServer& server, size_t client, const std::vector<uint8_t>& frame) { server.WriteFrame(client, frame); }

}  // namespace

// One client through its whole life: no server, a server that refuses it, one
// whose first connection OnInitConnection rejects, a connection the server
// closes, one this side drops, and Stop. (Stop while a retired channel's
// dispatch thread still runs is the API suite's teardown from callback 6.)
TEST(SinglePipeClient, KeepsItselfConnectedUntilStopped) {
    Probe c;
    c.initResult = 0;
    const ULONGLONG start = Now();
    ASSERT_EQ(c.Start(), 0u);
    EXPECT_EQ(c.GetStatus(), 2250u);
    EXPECT_EQ(c.Send("", 1), 2250u);
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.failures.size() >= 3; }, 8000));
    EXPECT_EQ(c.rec.Get(c.failures), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_PRED3(Between, Now() - start, 1500, 5000);  // about a second apart
    CTestPipeServer refusing(zk_testkit::kServicePipeName, true);  // opening for reading and writing fails with 5
    ASSERT_TRUE(refusing.Start());
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.failures.size() >= 5; }, 4000));
    EXPECT_EQ(c.GetStatus(), 5u);
    refusing.Stop();
    CTestPipeServer server;
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.closed == 1; }, 3000));  // rejected and dropped
    EXPECT_NE(c.initThread.load(), ::GetCurrentThreadId());  // on the keeper thread
    EXPECT_FALSE(c.HasChannel());
    c.initResult = 1;
    ASSERT_TRUE(Until([&] { return c.HasChannel() && c.GetStatus() + c.GetFailureCount() == 0; }, 3000));

    auto a = Message(100, 0, 1), b = Message(30, 0, 2);
    // closed right away: both frames are still on their way
    ASSERT_TRUE(server.WriteFrame(1, a) && server.WriteFrame(1, b) && server.CloseClient(1));
    for (int closed = 2; closed <= 3; ++closed) {  // lost, then dropped by Disconnect
        ASSERT_TRUE(c.rec.WaitFor([&] { return c.closed == closed; }, 3000));
        ULONGLONG closedAt = Now();
        ASSERT_TRUE(server.WaitForClients(closed + 1, 4000));
        EXPECT_LE(Now() - closedAt, 3000u);  // the next keeper pass
        EXPECT_TRUE(Until([&] { return c.GetRetiredCount() == 0; }, 3000));  // swept by a keeper pass
        EXPECT_EQ(c.rec.Get(c.lost), 1);
        if (closed == 2) c.Disconnect();
    }
    EXPECT_EQ(c.rec.Get(c.messagesAtLoss), (Messages{a, b}));

    c.Stop();
    EXPECT_TRUE(!c.HasChannel() && c.GetRetiredCount() == 0);
    EXPECT_TRUE(server.WaitForClientGone(3, 2000));
}

// 200 connect/drop cycles while 8 threads send leave no thread and no handle
// behind once the client is gone.
TEST(SinglePipeClient, ConnectCloseCyclesWithSendersLeaveNothingBehind) {
    long threads = 0, handles = 0;
    for (int cycles : {1, 200}) {  // the first use of pipes and threads may allocate for good
        threads = testkit::ProcessThreadCount(), handles = testkit::ProcessHandleCount();
        CTestPipeServer server;
        Probe c;
        ASSERT_TRUE(server.Start() && c.Start() == 0u);
        std::atomic<bool> stop{false};
        std::vector<std::thread> senders;
        for (int i = 0; i < 8; ++i) senders.emplace_back([&] {
            for (const auto m = Message(64, 0); !stop; ::Sleep(1)) {
                const uint32_t r = c.Send(m.data(), uint32_t(m.size()));
                EXPECT_TRUE(r == 0 || r == ERROR_NOT_CONNECTED) << r;  // a lost channel is no connection
            }
        });
        for (int i = 0; i < cycles; ++i) {
            ASSERT_TRUE(server.WaitForClients(i + 1, 3000));
            ASSERT_TRUE(server.CloseClient(i) && c.rec.WaitFor([&] { return c.closed == i + 1; }, 3000));
            EXPECT_EQ(c.Connect(), 0u);  // faster than waiting for the keeper
        }
        ASSERT_TRUE(server.WaitForClients(cycles + 1, 3000));
        stop = true;
        for (std::thread& t : senders) t.join();
    }
    EXPECT_LE(testkit::WaitForThreadCountAtMost(threads, 5000), threads);
    if (handles < 0) GTEST_SKIP() << testkit::kNoHandleCountMessage;
    EXPECT_EQ(testkit::ProcessHandleCount(), handles);
}

// A message the send queue cannot take (past its cap) is reported, never
// passed off as sent.
TEST(SinglePipeClient, SendReportsAMessageTheQueueCouldNotTake) {
    CTestPipeServer server;
    Probe c;
    ASSERT_TRUE(server.Start() && c.Start() == 0u);
    ASSERT_TRUE(server.WaitForClient(3000));
    std::vector<uint8_t> big = Message(uint32_t(CChannel::kSendQueueCap), 0);
    EXPECT_EQ(c.Send(big.data(), uint32_t(big.size())), uint32_t(ERROR_NOT_ENOUGH_MEMORY));
    const auto small = Message(20, 0, 9);
    EXPECT_EQ(c.Send(small.data(), 20), 0u);
    EXPECT_TRUE(server.WaitForFrames(1, 3000) && server.Frame(0) == small);  // the refused message left nothing behind
}

// One client and one echoing server whose answers the test switches: numbered
// requests, many callers answered out of order, a silent service and its late
// reply, notifications, a message larger than the receive buffer, one too
// short to be a message, a connection lost and Stop while a caller waits.
TEST(RequestResponse, OneClientThroughEveryKindOfExchange) {
    CTestPipeServer server;
    server.SetResponder(Echo, 4, true);  // in random order when several wait
    ExProbe c;
    ASSERT_TRUE(server.Start() && c.Start() == 0u);
    for (uint32_t id : {1u, 2u}) {
        EXPECT_EQ(c.Request(40, id), 0u);
        EXPECT_EQ(server.Frame(id - 1), Message(40, id, id));  // numbered from 1
    }
    std::vector<int> good(8, 0);
    std::vector<std::thread> callers;
    for (int i = 0; i < 8; ++i)
        callers.emplace_back([&, i] { for (int r = 0; r < 100; ++r) good[i] += c.Request(32 + i, 1000 * i + r) == 0; });
    for (auto& t : callers) t.join();
    EXPECT_EQ(good, std::vector<int>(8, 100));

    server.SetResponder(nullptr);
    ULONGLONG start = Now();
    EXPECT_EQ(c.Request(20, 3), 1168u);
    EXPECT_PRED3(Between, Now() - start, 2500, 6000);
    ASSERT_TRUE(server.WriteFrame(0, Message(20, c.GetLastRequestId(), 3)));  // its reply, too late
    server.SetResponder(Echo);
    EXPECT_EQ(c.Request(24, 4), 0u);

    auto notice = Message(12, 0, 0, 77), big = Message(70000, 0, 5);
    ASSERT_TRUE(server.WriteFrame(0, notice) && server.WriteFrame(0, big));
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.notes.size() >= 2; }, 3000));
    EXPECT_EQ(c.rec.Get(c.notes), (Messages{notice, big}));  // the late reply is not among them
    ASSERT_TRUE(server.WriteFrame(0, Message(11, 0)));  // too short: this side drops the connection
    ASSERT_TRUE(server.WaitForClientGone(0, 3000) && server.WaitForClients(2, 3000));  // and connects again

    for (int stop : {0, 1}) {  // the service drops the connection, then the client stops
        server.SetResponder(nullptr);
        size_t sent = server.FrameCount();
        uint32_t result = 0;
        zk_testkit::Background caller([&] { result = c.Request(20, 6); });
        EXPECT_TRUE(server.WaitForFrames(sent + 1, 3000));
        stop ? c.Stop() : (void)server.CloseClient(1);
        EXPECT_TRUE(caller.Finished(1500));  // at once, not after the reply wait
        EXPECT_EQ(result, 1460u);
        if (stop) break;
        server.SetResponder(Echo);
        EXPECT_TRUE(server.WaitForClients(3, 3000));
        EXPECT_EQ(c.Request(24, 7), 0u);  // the next connection serves requests
    }
}
