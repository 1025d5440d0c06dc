// The connection (the self-reconnecting single pipe client) and, on it, the
// pending requests and the delivery queue, against the test pipe server.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "pipes/DeliveryQueue.h"
#include "pipes/MessagePrefix.h"
#include "pipes/PendingRequests.h"
#include "pipes/SinglePipeClient.h"
#include "support/LumCapture.h"
#include "support/Observed.h"
#include "support/PipeIdentity.h"
#include "support/TestPipeServer.h"
#include "support/Watchdog.h"

using zk_testkit::CTestPipeServer;
using Messages = std::vector<std::vector<uint8_t>>;

namespace {

ULONGLONG Now() { return ::GetTickCount64(); }
bool Between(ULONGLONG value, ULONGLONG low, ULONGLONG high) { return low <= value && value <= high; }

// A message of `size` (at least 12) bytes: length, request number, link status, then bytes derived from `tag`.
std::vector<uint8_t> Message(uint32_t size, uint32_t requestId, uint32_t tag = 0, uint32_t link = 0) {
    std::vector<uint8_t> m(size);
    const uint32_t head[3] = {size, requestId, link};
    memcpy(m.data(), head, sizeof(head));
    for (size_t i = 12; i < m.size(); ++i) m[i] = static_cast<uint8_t>(tag * 31 + i);
    return m;
}

// Counts the opens that reach CreateFileW while it lives.
std::atomic<int> g_opens{0};
decltype(&::CreateFileW) g_realCreateFile = nullptr;
HANDLE WINAPI CountingCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                                 DWORD flags, HANDLE from) {
    ++g_opens;
    return g_realCreateFile(name, access, share, sa, disposition, flags, from);
}
struct OpenCounter {
    lumlib::PipeIdentityApi saved = lumlib::ActivePipeIdentityApi();
    OpenCounter() {
        g_opens = 0;
        g_realCreateFile = saved.createFile;
        lumlib::ActivePipeIdentityApi().createFile = &CountingCreateFile;
    }
    ~OpenCounter() { lumlib::ActivePipeIdentityApi() = saved; }
};

// Keeps what a reply sink is given. It yields first, so that a take after
// its caller returned would land well after the return.
struct KeptReply final : IReplySink {
    void Take(const uint8_t* reply, uint32_t length) override {
        ::SwitchToThread();
        bytes.assign(reply, reply + length);
        ++takes;
    }
    std::vector<uint8_t> bytes;
    std::atomic<int> takes{0};
};

// The owner of a connection, with the pending requests and the delivery queue put together as the
// session client does: records every hook.
class Probe final : public IPipeClientOwner, public IDeliveryOwner {
public:
    // The connection, the last member, stops first (its destructor), while what its threads use is still there.
    Probe() : delivery(this), connection(zk_testkit::kServicePipeName, nullptr, this) {}
    uint32_t Start() { return delivery.Start() == 0 ? connection.Start() : 1; }
    void OnMessage(const uint8_t* m, uint32_t n) override {
        if (::GetCurrentThreadId() == requester.load()) ++readByRequester;
        if (MsgPrefixRequestId(m) != 0) return pending.Answer(m, n);
        delivery.Stage(m, n);
    }
    void OnMessagesEnd() override { delivery.EndBatch(); }
    bool RepliesAwaited() override { return pending.AnyLeftToReader(); }
    uint32_t OnInitConnection() override {
        initThread = ::GetCurrentThreadId();
        return initResult.load();
    }
    void OnConnectionLost(const lumlib::LumFailure& cause) override {
        rec.Note([&] { losses.push_back({cause.error, ::GetCurrentThreadId()}); });
    }
    // The failure count, and the opens made by then.
    void OnConnectFailed(uint32_t count, const lumlib::LumFailure&) override {
        rec.Note([&] { failures.emplace_back(count, g_opens.load()); });
    }
    // A found pipe keeps the flags it was opened with (another set replacing
    // them is PipeSecurity.AnotherAccountsServerIsRefused*'s level 2).
    DWORD PipeOpenFlags() override { return FILE_FLAG_OVERLAPPED; }
    DWORD ConfirmOpenFlags() override { return FILE_FLAG_OVERLAPPED; }
    // Every keeper pass makes one attempt: its result.
    void OnAttemptDone(uint32_t result) override { rec.Note([&] { results.push_back(result); }); }
    void OnConnectionClosed() override { rec.Note([&] { ++closed; }); }
    void OnDelivery(const uint8_t* m, uint32_t n, uint64_t) override { rec.Note([&] { notes.emplace_back(m, m + n); }); }
    void OnNotificationsDropped(uint32_t, uint64_t, uint32_t) override {}

    // The last attempt connected (its channel runs).
    bool Connected() { return !results.empty() && results.back() == 0; }
    // Sends one request of `size` bytes: 0 when its echo came back (under the
    // number it went with, which its reply was matched by), 13 for any other reply.
    uint32_t Request(uint32_t size, uint32_t tag) {
        std::vector<uint8_t> request = Message(size, 0, tag);
        KeptReply reply;
        requester = ::GetCurrentThreadId();
        const uint32_t result = SendRequest(connection, pending, CMessageBytes(request.data()), size, reply);
        if (reply.bytes.size() >= 8) MsgSetRequestId(request.data(), MsgPrefixRequestId(reply.bytes.data()));
        return result == 0 && reply.bytes != request ? 13 : result;
    }

    zk_testkit::CObserved rec;  // what the hooks saw
    std::atomic<DWORD> initResult{1};
    std::atomic<DWORD> initThread{0};
    int closed = 0;
    std::vector<uint32_t> results;  // of every attempt, in order
    std::vector<std::pair<uint32_t, int>> failures;
    std::vector<std::pair<uint32_t, DWORD>> losses;  // each loss's error and thread
    Messages notes;
    std::atomic<DWORD> requester{0};     // the thread of the last request
    std::atomic<int> readByRequester{0};  // messages it read itself
    CPendingRequests pending;
    CDeliveryQueue delivery;
    CSinglePipeClient connection;
};

void Echo(CTestPipeServer& server, size_t client, const std::vector<uint8_t>& frame) { server.WriteFrame(client, frame); }

}  // namespace

// One client through its whole life: no server (one open a second and
// nothing else), a server that refuses it, one whose first connection
// OnInitConnection rejects, a connection the server closes while the keeper
// sleeps (its channel swept by the next pass), and Stop while the keeper
// sleeps. (The messages before a loss are Channel.ABusyReaderHoldsTheServerBackThenAllArriveInOrderBeforeTheLoss;
// a connection this side ends, and the next one, are Hostile/RawFaults' ending
// rows; one loss per connection is the API suite's contract monitor; Stop
// while a retired channel's reader still runs is the teardown from callback 6.)
TEST(SinglePipeClient, KeepsItselfConnectedUntilStopped) {
    testkit::Watchdog watchdog("a single client's life", 90000);  // also over the client's stop on an early return
    OpenCounter opens;  // outlives the client
    Probe c;
    c.initResult = 0;
    const ULONGLONG start = Now();
    ASSERT_EQ(c.Start(), 0u);
    EXPECT_EQ(c.rec.Get(c.results), (std::vector<uint32_t>{2250})) << "the first attempt, on the caller's thread";
    EXPECT_EQ(c.connection.Send("", 1), 2250u);
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.failures.size() >= 3; }, 8000));
    EXPECT_EQ(c.rec.Get(c.failures), (std::vector<std::pair<uint32_t, int>>{{1, 1}, {2, 2}, {3, 3}})) << "not one open an attempt";
    EXPECT_PRED3(Between, Now() - start, 1500, 5000);  // about a second apart
    CTestPipeServer refusing(zk_testkit::kServicePipeName, true);  // opening for reading and writing fails with 5
    ASSERT_TRUE(refusing.Start());
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.results.size() >= 5; }, 4000));
    EXPECT_EQ(c.rec.Get(c.results)[4], 5u) << "an attempt the server refused";
    refusing.Stop();
    CTestPipeServer server;
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.closed == 1; }, 3000));  // rejected and dropped
    EXPECT_NE(c.initThread.load(), ::GetCurrentThreadId());  // on the keeper thread
    c.initResult = 1;
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.Connected(); }, 3000)) << "not connected once OnInitConnection accepts";
    EXPECT_EQ(c.connection.GetFailureCount(), 0u);
    const size_t passes = c.rec.Get(c.results).size();
    EXPECT_FALSE(c.rec.WaitFor([&] { return c.results.size() != passes; }, 2500)) << "the keeper polls while connected";

    // The accepted connection is the server's latest: an attempt already under
    // way when OnInitConnection began to accept may have been refused too.
    ASSERT_TRUE(server.CloseClient(server.ClientCount() - 1)) << "closing the accepted connection";
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.losses.size() == 1; }, 3000)) << "no loss";
    const ULONGLONG lostAt = Now();
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.results.size() > passes && c.Connected(); }, 4000)) << "not connected again";
    EXPECT_LE(Now() - lostAt, 3000u) << "not connected again by the next keeper pass";
    // The keeper polls while the lost channel waits for its threads, and sleeps once a pass swept it.
    const size_t reconnected = c.rec.Get(c.results).size();
    EXPECT_FALSE(c.rec.WaitFor([&] { return c.results.size() > reconnected + 1; }, 3000)) << "the lost channel stays";

    c.connection.Stop();  // while the keeper sleeps
    EXPECT_TRUE(server.WaitForClientGone(server.ClientCount() - 1, 2000));
}

// A started request/response client and its server, silent until a test
// sets a responder; every scenario under a watchdog.
class RequestResponse : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start());
        ASSERT_EQ(c.Start(), 0u);
    }
    testkit::Watchdog watchdog{"RequestResponse", 60000};
    CTestPipeServer server;
    Probe c;
};

// The service sends a notification ahead of every reply. Requests that
// follow each other closely find the reads free and read their replies
// themselves, with what came before them; the rest are read by the reader.
// Either way every request is answered and every notification arrives once,
// in order. A reply that comes after its caller's 3 s is dropped, and the next
// request is answered: the unanswered request follows an answered one
// closely, so its caller reads for it, and at the deadline its read ends and
// the reader reads again. Notifications sent after that arrive too, each
// whole, from a bare 12-byte prefix to one larger than the receive buffer.
// Then a loss under a reading caller (below). (That a stop ends a caller's wait at once is
// Hostile.CallsInFlightSurviveCleanUpOnAnotherThread.)
TEST_F(RequestResponse, CallersReadTheirOwnRepliesALateOneIsDroppedAndNotificationsKeepTheirOrder) {
    server.SetResponder([](CTestPipeServer& s, size_t client, const std::vector<uint8_t>& frame) {
        s.WriteFrame(client, Message(16, 0, frame[12]));
        s.WriteFrame(client, frame);
    });
    const uint32_t kRequests = 40;
    Messages expected;
    for (uint32_t i = 0; i < kRequests; ++i) {
        ASSERT_EQ(c.Request(20, i), 0u) << "request " << i;
        expected.push_back(Message(16, 0, Message(20, 0, i)[12]));
    }
    EXPECT_GT(c.readByRequester.load(), 0) << "no caller read its own reply";
    server.SetResponder(nullptr);
    EXPECT_EQ(c.Request(20, 2), 1168u) << "a request the service never answers";
    ASSERT_TRUE(server.WriteFrame(0, server.Frame(server.FrameCount() - 1))) << "the late reply: its echo";
    server.SetResponder(Echo);
    EXPECT_EQ(c.Request(24, 3), 0u) << "the request after the late reply";
    for (const std::vector<uint8_t>& after : {Message(12, 0, 0, 77), Message(70000, 0, 5)}) {
        ASSERT_TRUE(server.WriteFrame(0, after)) << after.size() << " bytes";
        expected.push_back(after);
    }
    ASSERT_TRUE(c.rec.WaitFor([&] { return c.notes.size() >= expected.size(); }, 3000)) << "a notification is missing";
    const Messages notes = c.rec.Get(c.notes);
    size_t same = 0;
    while (same < expected.size() && same < notes.size() && notes[same] == expected[same]) ++same;
    EXPECT_EQ(same, expected.size()) << "notification " << same << " of " << notes.size() << " differs";
    EXPECT_EQ(notes.size(), expected.size()) << "the late reply came as a notification";

    // Then the service closes the connection while a caller reads for its
    // reply (it follows an answered request closely): the loss is told once,
    // with the service's end as its cause rather than the cancel that woke
    // the reader, on the reader thread, and the request is left to its 3 s.
    ASSERT_EQ(c.Request(24, 1), 0u);
    server.SetResponder(nullptr);
    const size_t frames = server.FrameCount();
    zk_testkit::Background caller([&] { EXPECT_EQ(c.Request(20, 2), uint32_t(ERROR_NOT_FOUND)); });
    ASSERT_TRUE(server.WaitForFrames(frames + 1, 3000));
    ASSERT_TRUE(server.CloseClient(0));
    ASSERT_TRUE(c.rec.WaitFor([&] { return !c.losses.empty(); }, 3000)) << "no loss";
    EXPECT_TRUE(caller.Finished(5000));
    const auto losses = c.rec.Get(c.losses);
    ASSERT_EQ(losses.size(), 1u);
    EXPECT_NE(losses[0].first, uint32_t(ERROR_CANCELLED)) << "the cancel that woke the reader was told as the cause";
    EXPECT_NE(losses[0].second, c.requester.load()) << "told on the caller's thread";
}

// Four callers wait at once, each with a request of its own size (20 + its
// index) on a thread of its own. The service answers them in reverse order,
// one at a time. Each reply wakes its own caller, and no caller returns before
// its reply: a wake on the wrong slot would leave the right caller asleep
// until its 3 s ran out.
TEST_F(RequestResponse, EachReplyWakesOnlyItsOwnCaller) {
    const size_t kCallers = 4;
    std::vector<uint32_t> results(kCallers, 99);
    std::vector<std::unique_ptr<zk_testkit::Background>> callers;  // joined before the results go
    for (uint32_t i = 0; i < kCallers; ++i)
        callers.emplace_back(new zk_testkit::Background([this, &results, i] { results[i] = c.Request(20 + i, i); }));
    ASSERT_TRUE(server.WaitForFrames(kCallers, 3000));
    for (size_t answered = 0; answered < kCallers; ++answered) {
        const std::vector<uint8_t> request = server.Frame(kCallers - 1 - answered);
        const size_t caller = request.size() - 20;
        ASSERT_LT(caller, kCallers);
        ASSERT_TRUE(server.WriteFrame(0, request));  // its echo is its reply
        EXPECT_TRUE(callers[caller]->Finished(2000)) << "caller " << caller << " not woken by its reply";
        EXPECT_EQ(results[caller], 0u) << "caller " << caller;
        for (size_t waiting = 0; waiting + answered + 1 < kCallers; ++waiting) {
            const size_t other = server.Frame(waiting).size() - 20;
            EXPECT_FALSE(callers[other]->Finished(0)) << "caller " << other << " returned before its reply";
        }
    }
}

// A reply racing its caller's end (a stop; a time-out unlinks the entry the same way): the caller got
// it (0) or returned 1460 with its sink never called, and nothing reaches the sink once it has returned.
TEST(PendingRequests, AReplyRacingItsCallersEndNeverReachesItAfterwards) {
    testkit::Watchdog watchdog("a reply racing a stop", 60000);
    for (int round = 0; round < 300; ++round) {
        CPendingRequests pending;
        KeptReply sink;
        CPendingRequests::Entry entry;
        std::vector<uint8_t> message = Message(12, 0);
        MsgSetRequestId(message.data(), pending.Add(entry, sink));
        std::thread reader([&] { pending.Answer(message.data(), 12); });  // the numbered request as its reply
        std::thread stopper([&] { pending.Stop(); });
        const uint32_t result = pending.Await(entry, ::GetTickCount64() + CPendingRequests::kReplyWaitMs);
        const int takes = sink.takes;
        reader.join();
        stopper.join();
        ASSERT_EQ(sink.takes.load(), takes) << "round " << round << ": the sink was called after its caller returned";
        ASSERT_EQ(takes, result == 0 ? 1 : 0) << "round " << round << ": result " << result;
    }
}

// Drops made within a second of the last report are told once the queue has drained, not with
// the next notification or the stop, which may never come or come much later.
TEST(DeliveryQueue, TellsTheLastDropsOnceItHasDrained) {
    testkit::Watchdog watchdog("a delivery queue drop report", 60000);
    struct Owner final : IDeliveryOwner {
        void OnDelivery(const uint8_t*, uint32_t, uint64_t) override {
            ::WaitForSingleObject(release.get(), 30000);
            rec.Note([&] { ++delivered; });
        }
        void OnNotificationsDropped(uint32_t count, uint64_t, uint32_t) override { rec.Note([&] { told += count; }); }
        CHandleHolder release{lumlib::NewEvent()};
        zk_testkit::CObserved rec;
        uint32_t delivered = 0, told = 0;
    } owner;  // outlives the queue
    CDeliveryQueue queue(&owner);
    ASSERT_EQ(0u, queue.Start());
    // The first is held in delivery, the cap's worth queue behind it, the rest are dropped.
    const std::vector<uint8_t> block(64 * 1024, 'n');
    const uint32_t pushed = static_cast<uint32_t>(CDeliveryQueue::kCap / block.size()) + 10;
    for (uint32_t i = 0; i < pushed; ++i) queue.Push(block.data(), static_cast<uint32_t>(block.size()));
    ::SetEvent(owner.release.get());
    EXPECT_TRUE(owner.rec.WaitFor([&] { return owner.delivered + owner.told == pushed; }, 10000))
        << owner.rec.Get(owner.delivered) << " delivered and " << owner.rec.Get(owner.told) << " told dropped of " << pushed;
    queue.Stop();
}
