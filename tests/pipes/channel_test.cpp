// Channels over real named pipes, served by the test pipe server: one reader
// thread reads, cuts frames and hands each message on, then tells the loss.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pipes/Channel.h"
#include "tests/support/LumCapture.h"
#include "tests/support/Observed.h"
#include "tests/support/TestPipeServer.h"
#include "tests/support/Watchdog.h"

using namespace zk_testkit;
using Events = std::vector<std::string>;

namespace {

// A server, a connection to it and a channel on that connection, the rig
// owning both, and the log of what it saw as their owner, in order:
// "msg:<size>", "lost", "released". It keeps every message; with hold set,
// the reader stays in the first one until the gate opens. A message of
// raiseSize bytes raises once it is logged. The scenario that made it ends
// within a minute, the rig's teardown included.
struct Rig final : CConnectionOwner, IChannelOwner {
    explicit Rig(const wchar_t* tag, bool holdFirst = false, DWORD standbyMs = CChannel::kReaderStandbyMs)
        : hold(holdFirst), server(UniquePipeName(tag)) {
        if (!server.Start()) return;
        lumlib::LumFailure failure;
        auto pipe = TryOpenPipe(this, server.Name().c_str(), nullptr, FILE_FLAG_OVERLAPPED, nullptr, &failure);
        channel.reset(new CChannel(std::move(pipe), this, standbyMs));
        ok = !channel->StartThreads().failed() && server.WaitForClients(1, 5000);
    }
    // The channel's threads end before the log they write goes.
    ~Rig() {
        ::SetEvent(gate.get());
        channel.reset();
    }
    void OnConnectionClosed() override { Add("released"); }
    void OnMessage(const uint8_t* data, uint32_t size) override {
        received.insert(received.end(), data, data + size);
        Add("msg:" + std::to_string(size));
        if (hold && ++held == 1) ::SignalObjectAndWait(entered.get(), gate.get(), 10000, FALSE);
        if (size == raiseSize) throw std::bad_alloc();
    }
    void OnMessagesEnd() override { ++batches; }
    bool RepliesAwaited() override { return leftToReader.load(); }
    void OnConnectionLost(const lumlib::LumFailure& cause) override {
        lostError = cause.error;
        Add("lost");
    }
    void Add(const std::string& event) { observed.Note([&] { events.push_back(event); }); }
    // The events so far, once `last` is among them `times` times (or after waitMs).
    Events Until(const std::string& last, DWORD waitMs = 5000, long times = 1) {
        observed.WaitFor([&] { return std::count(events.begin(), events.end(), last) >= times; }, waitMs);
        return observed.Get(events);
    }

    // made first, gone last: over the rig's teardown too
    testkit::Watchdog watchdog{::testing::UnitTest::GetInstance()->current_test_info()->name(), 60000};
    const bool hold;
    int held = 0;
    uint32_t raiseSize = ~0u;
    int batches = 0;
    std::atomic<bool> leftToReader{false};
    std::atomic<uint32_t> lostError{0};  // the loss's cause
    std::vector<uint8_t> received;  // read once the reader is held or has ended
    CHandleHolder entered{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    CHandleHolder gate{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    CObserved observed;
    Events events;  // under observed
    CTestPipeServer server;
    std::unique_ptr<CChannel> channel;
    bool ok = false;
};

std::vector<uint8_t> Pattern(size_t n, uint32_t tag = 0) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + 5 + tag);
    return v;
}

struct NeverReached final : IReadGoal {
    bool Reached() override { return false; }
};

struct AlreadyReached final : IReadGoal {
    bool Reached() override { return true; }
};

// The reading turn for this thread, once it found the reader reading: the
// reader, holding the turn while it waits for data, hands it back after a
// message and, since a caller asked, stands by for callers a while. (A turn
// taken before that, as the reader starts, is given back to the reader.)
bool TakeTheTurn(Rig& rig) {
    bool refused = false;
    for (long sent = 1; sent <= 20; ++sent) {
        for (const ULONGLONG end = ::GetTickCount64() + 15; ::GetTickCount64() < end;) {
            if (!rig.channel->TakeCallerTurn()) {
                refused = true;
                continue;
            }
            if (refused) return true;
            NeverReached given;  // at its deadline at once: the turn goes back with the reader asked to read
            rig.channel->ReadAsCaller(given, 0, nullptr);
        }
        if (!rig.server.WriteFrame(0, Pattern(3))) return false;
        rig.Until("msg:3", 5000, sent);
    }
    return false;
}

}  // namespace

// A caller reading for its reply hands on a message whose owner raises: the
// raise stays on the caller's thread and ends the connection with its cause,
// the caller has its turn back at once, and the reader tells the loss once.
TEST(Channel, AnOwnerRaisingUnderACallersReadEndsTheConnectionAndTheReaderTellsItOnce) {
    Rig rig(L"chan-raise");
    ASSERT_TRUE(rig.ok);
    rig.raiseSize = 5;
    ASSERT_TRUE(TakeTheTurn(rig));
    ASSERT_TRUE(rig.server.WriteFrame(0, Pattern(5)));
    NeverReached goal;
    const ULONGLONG start = ::GetTickCount64();
    rig.channel->ReadAsCaller(goal, start + 30000, nullptr);
    EXPECT_LT(::GetTickCount64() - start, 15000u) << "the caller read on after the raise";
    const Events events = rig.Until("released");
    EXPECT_EQ(std::count(events.begin(), events.end(), "lost"), 1);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(Events(events.end() - 3, events.end()), (Events{"msg:5", "lost", "released"}));
    lumlib::LumFailure cause;
    ASSERT_TRUE(rig.channel->LossCause(&cause));
    EXPECT_EQ(cause.error, static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY));
}

// Frames written while the reader is held in the first: the pipe fills and
// the server's writes wait (the back-pressure the receive queue's cap gave).
// Once the reader goes on, the merged reader gives every message in order,
// each whole (an empty one not at all, a large one across reads), and the
// loss comes after the last of them, then the release.
TEST(Channel, ABusyReaderHoldsTheServerBackThenAllArriveInOrderBeforeTheLoss) {
    Rig rig(L"chan-order", true);
    ASSERT_TRUE(rig.ok);
    std::vector<uint32_t> sizes = {7, 0, 250, 3000, 70000, 3};
    sizes.insert(sizes.end(), 40, 60000);  // 2.4 MB: far more than the pipe holds
    std::vector<uint8_t> sent;
    Events expected;
    Background writer([&] {
        for (uint32_t i = 0; i < sizes.size(); ++i) {
            const std::vector<uint8_t> frame = Pattern(sizes[i], i);
            sent.insert(sent.end(), frame.begin(), frame.end());
            if (sizes[i] != 0) expected.push_back("msg:" + std::to_string(sizes[i]));
            EXPECT_TRUE(rig.server.WriteFrame(0, frame)) << "frame " << i;
        }
    });
    ASSERT_EQ(::WaitForSingleObject(rig.entered.get(), 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(writer.Finished(1000)) << "the server wrote on past a held reader";
    ::SetEvent(rig.gate.get());
    ASSERT_TRUE(writer.Finished(20000));
    ASSERT_TRUE(rig.server.CloseClient(0));
    expected.insert(expected.end(), {"lost", "released"});
    EXPECT_EQ(expected, rig.Until("released"));
    EXPECT_TRUE(sent == rig.received);
    EXPECT_GE(rig.batches, 2) << "the frames behind the held one come in later reads";
}

enum class End { kDisconnect, kShutdown };
class ChannelEnd : public testing::TestWithParam<End> {};

// A Disconnect or a teardown while the reader is busy in a message: Shutdown
// waits for that message, then nothing more is given, the loss is not told,
// and the connection is released.
TEST_P(ChannelEnd, WhileTheReaderIsBusyNothingMoreIsGiven) {
    Rig rig(L"chan-end", true);
    ASSERT_TRUE(rig.ok);
    ASSERT_TRUE(rig.server.WriteFrame(0, "held", 4));
    ASSERT_EQ(::WaitForSingleObject(rig.entered.get(), 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(rig.server.WriteFrame(0, "behind", 6));
    const bool shutdown = GetParam() == End::kShutdown;
    Background ender([&] { shutdown ? rig.channel->Shutdown() : rig.channel->Disconnect(); });
    // Shutdown waits for the reader; a Disconnect returns while it is still held.
    EXPECT_EQ(ender.Finished(shutdown ? 300 : 10000), !shutdown) << "Shutdown did not wait, or Disconnect did";
    ::SetEvent(rig.gate.get());
    EXPECT_TRUE(ender.Finished(10000));
    const lumlib::LumError late = rig.channel->SendData(CMessageBytes("x"), 1);
    EXPECT_TRUE(shutdown || (late.reason == lumlib::LumReason::kLost && late.error == 1236)) << late.error;
    EXPECT_EQ((Events{"msg:4", "released"}), rig.Until("released"));
    EXPECT_TRUE(rig.server.WaitForClientGone(0, 5000));
}

INSTANTIATE_TEST_SUITE_P(Ends, ChannelEnd, testing::Values(End::kDisconnect, End::kShutdown),
                         [](const testing::TestParamInfo<End>& p) { return p.param == End::kShutdown ? "Shutdown" : "Disconnect"; });

// Thread t's message of a round: its number, the round, then a pattern.
std::vector<uint8_t> CallerMessage(uint32_t size, uint32_t t, uint32_t round) {
    std::vector<uint8_t> message = Pattern(size, t * 1000 + round);
    std::memcpy(message.data(), &t, 4);
    std::memcpy(message.data() + 4, &round, 4);
    return message;
}

// The same message, written by the channel where it goes (the frame, or its queued copy).
class CInPlaceMessage final : public IMessageSource {
public:
    CInPlaceMessage(uint32_t t, uint32_t round) : m_t(t), m_round(round) {}
    void WriteTo(uint8_t* out, uint32_t size, uint32_t /*zeroed*/) const override {
        std::memcpy(out, CallerMessage(size, m_t, m_round).data(), size);
    }

private:
    const uint32_t m_t, m_round;
};

// Callers on short-lived threads write while the pipe is free, then find it
// full: a write left pending goes to the writer (the caller's thread ends
// under it), and the frames behind it queue. Every call returns at once, and
// once the server reads again every frame arrives whole, each thread's in
// order; half the threads' messages are written in place. An empty message
// makes no frame. Windows finishes a write whose thread ended (the pipe is
// bound to a completion port); Wine cancels it all the same, without saying
// how much of it was read, and then the connection ends with that cause
// rather than send a frame's bytes twice: the frames before it arrive, and
// no frame is cut or sent twice.
TEST(Channel, FramesOfShortLivedCallersArriveWholeAndInOrderAcrossAFullPipe) {
    Rig rig(L"chan-switch");
    ASSERT_TRUE(rig.ok);
    // The server's reading stays in its first frame until readAgain: the pipe fills behind it.
    CHandleHolder readAgain(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto first = std::make_shared<std::atomic<bool>>(true);
    rig.server.SetResponder([first, &readAgain](CTestPipeServer&, size_t, const std::vector<uint8_t>&) {
        if (first->exchange(false)) ::WaitForSingleObject(readAgain.get(), 30000);
    });
    EXPECT_FALSE(rig.channel->SendData(CMessageBytes(""), 0).failed());
    // About 1 MB: far more than the pipe holds.
    const uint32_t kThreads = 4;
    const uint32_t kFrames = 30;
    const uint32_t kSize = 9000;
    const ULONGLONG start = ::GetTickCount64();
    for (uint32_t round = 0; round < kFrames; ++round) {
        std::vector<std::thread> callers;
        for (uint32_t t = 0; t < kThreads; ++t) {
            callers.emplace_back([&, t, round] {
                const std::vector<uint8_t> frame = CallerMessage(kSize, t, round);
                const lumlib::LumError sent = t % 2 ? rig.channel->SendData(CInPlaceMessage(t, round), kSize)
                                                    : rig.channel->SendData(CMessageBytes(frame.data()), kSize);
                // (refused only once the connection is lost: see above)
                EXPECT_TRUE(!sent.failed() || sent.reason == lumlib::LumReason::kLost) << sent.error;
            });
        }
        for (std::thread& c : callers) c.join();  // each ends right after its call
    }
    EXPECT_LT(::GetTickCount64() - start, 5000u) << "a call waited for the full pipe";
    ::SetEvent(readAgain.get());
    const Events seen = rig.Until("released", 2000);
    const bool lost = std::find(seen.begin(), seen.end(), "lost") != seen.end();
    if (lost) {
        EXPECT_EQ(uint32_t(ERROR_OPERATION_ABORTED), rig.lostError.load()) << "the loss's cause";
        ASSERT_TRUE(rig.server.WaitForClientGone(0, 10000)) << "the server did not read to the end";
    } else {
        ASSERT_TRUE(rig.server.WaitForFrames(kThreads * kFrames, 30000));
    }
    const size_t frames = rig.server.FrameCount();
    EXPECT_EQ(rig.server.BytesReceived(0), frames * (4 + kSize)) << "a frame cut or sent twice";
    std::vector<uint32_t> next(kThreads, 0);
    for (size_t i = 0; i < frames; ++i) {
        const std::vector<uint8_t> frame = rig.server.Frame(i);
        ASSERT_EQ(frame.size(), kSize) << "frame " << i;
        uint32_t t = 0;
        uint32_t round = 0;
        std::memcpy(&t, frame.data(), 4);
        std::memcpy(&round, frame.data() + 4, 4);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(round, next[t]++) << "thread " << t << "'s frames out of order";
        const std::vector<uint8_t> expected = Pattern(kSize, t * 1000 + round);
        EXPECT_TRUE(std::equal(frame.begin() + 8, frame.end(), expected.begin() + 8)) << "frame " << i << " cut or mixed";
    }
}

namespace {

// A message of a tagged 8-byte head and zeros after it, which it leaves
// unwritten where the channel says the frame holds zeros already.
class CZeroTailMessage final : public IMessageSource {
public:
    explicit CZeroTailMessage(uint32_t tag) : m_tag(tag) {}
    void WriteTo(uint8_t* out, uint32_t size, uint32_t zeroed) const override {
        std::memcpy(out, Pattern(8, m_tag).data(), 8);
        std::memset(out + 8, 0, size - 8 - std::min(zeroed, size - 8));
    }
    uint32_t ZeroTail(uint32_t size) const override { return size - 8; }

private:
    const uint32_t m_tag;
};

// On the test's thread only: the server in this process reads the same frame into a block of that size.
std::atomic<DWORD> g_noRoomThread{0};
void* NoBlockOf70004(void* block, size_t size) {
    return size == 70004 && ::GetCurrentThreadId() == g_noRoomThread ? nullptr : std::realloc(block, size);
}

}  // namespace

// No memory for a frame of its size: a message is refused with no memory at
// once, whether it brings its own bytes or is written in place, and the
// connection is kept. Then mostly-zero messages between patterned ones of
// every size (smaller, the same, larger, one that grows the frame past its
// standard size): each arrives as its head and zeros, whatever the frame
// held before.
TEST(Channel, AMessagesZerosAreLeftUnwrittenOnlyWhereTheFrameHoldsZeros) {
    Rig rig(L"chan-zeros");
    ASSERT_TRUE(rig.ok);
    const std::vector<uint8_t> withoutRoom = Pattern(70000, 7);
    g_noRoomThread = ::GetCurrentThreadId();
    lumlib::SetReallocFn(&NoBlockOf70004);  // the frame's block: the length field and 70000 bytes
    const lumlib::LumError withBytes = rig.channel->SendData(CMessageBytes(withoutRoom.data()), 70000);
    const lumlib::LumError inPlace = rig.channel->SendData(CZeroTailMessage(1), 70000);
    lumlib::SetReallocFn(nullptr);
    EXPECT_EQ(withBytes.error, uint32_t(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(inPlace.error, uint32_t(ERROR_NOT_ENOUGH_MEMORY));
    // Positive: a zero-tail message of that size; negative: a patterned one.
    const int sizes[] = {8244, 8244, -100, 8244, -8244, 8244, -70000, 70000, -30000, 70000, 20000, 8244, -5000, 100, 8244};
    for (size_t i = 0; i < std::size(sizes); ++i) {
        const uint32_t size = static_cast<uint32_t>(std::abs(sizes[i]));
        const std::vector<uint8_t> bytes = Pattern(size, 100 + uint32_t(i));
        const lumlib::LumError sent = sizes[i] > 0 ? rig.channel->SendData(CZeroTailMessage(uint32_t(i)), size)
                                                   : rig.channel->SendData(CMessageBytes(bytes.data()), size);
        ASSERT_FALSE(sent.failed()) << "message " << i;
    }
    ASSERT_TRUE(rig.server.WaitForFrames(std::size(sizes), 30000));
    for (size_t i = 0; i < std::size(sizes); ++i) {
        const std::vector<uint8_t> frame = rig.server.Frame(i);  // the refused messages made none
        const uint32_t size = static_cast<uint32_t>(std::abs(sizes[i]));
        ASSERT_EQ(frame.size(), size) << "frame " << i;
        std::vector<uint8_t> expected = Pattern(size, 100 + uint32_t(i));
        if (sizes[i] > 0) {
            expected.assign(size, 0);
            const std::vector<uint8_t> head = Pattern(8, uint32_t(i));
            std::copy(head.begin(), head.end(), expected.begin());
        }
        EXPECT_TRUE(frame == expected) << "frame " << i << " carries bytes of an earlier message";
    }
    EXPECT_EQ(rig.Until("lost", 0), Events{}) << "the connection ended";
}

// The reader stands by for a minute after a caller's turn. A caller found
// another caller reading, which then gave the turn back with no reply left to
// the reader; only after that does the first caller leave its reply to the
// reader: the reader takes the reads at once and the reply arrives, not the
// minute later. After a caller's turn again, the service writes a message and
// closes its end, and a send meets the closed pipe: none of it left, so the
// send says the connection is lost (a request then waits for the next one).
// The message is still handed on, then the loss is told.
TEST(Channel, AReplyLeftToTheReaderComesAtOnceAndASendMeetingTheClosedPipeLeavesTheLastMessageFirst) {
    Rig rig(L"chan-left", false, 60000);
    ASSERT_TRUE(rig.ok);
    ASSERT_TRUE(TakeTheTurn(rig));
    ASSERT_FALSE(rig.channel->TakeCallerTurn()) << "a second caller took the first one's turn";
    AlreadyReached goal;
    rig.channel->ReadAsCaller(goal, ::GetTickCount64() + 5000, nullptr);
    rig.leftToReader = true;
    rig.channel->LeaveReplyToReader();
    ASSERT_TRUE(rig.server.WriteFrame(0, Pattern(7)));
    EXPECT_EQ(rig.Until("msg:7", 10000).back(), "msg:7") << "the reply waited for the reader's standby";
    rig.leftToReader = false;
    ASSERT_TRUE(TakeTheTurn(rig));
    rig.channel->ReadAsCaller(goal, ::GetTickCount64() + 5000, nullptr);
    ASSERT_TRUE(rig.server.WriteFrame(0, Pattern(9)));
    ASSERT_TRUE(rig.server.CloseClient(0));
    EXPECT_EQ(lumlib::LumReason::kLost, rig.channel->SendData(CMessageBytes("x"), 1).reason);
    const Events events = rig.Until("released", 10000);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(Events(events.end() - 3, events.end()), (Events{"msg:9", "lost", "released"}));
}

namespace {

// The writer's batch for one queued message of 70000 bytes with the queue's
// 16-byte header, alone or behind the empty block of a handed-over write;
// the writer's thread is the one that grows it.
bool IsBatchOf70000(size_t size) { return size == 70016 || size == 70032; }
std::atomic<DWORD> g_writerThread{0};
std::atomic<int> g_refused{0};
void* Refused() {
    ++g_refused;
    return nullptr;
}
void* NoBatchOf70000(void* block, size_t size) { return IsBatchOf70000(size) ? Refused() : std::realloc(block, size); }
// Its frame (the length field and the message) on the writer's thread: the
// server in this process reads the same frame into a block of that size.
void* NoFrameOf70000(void* block, size_t size) {
    if (IsBatchOf70000(size)) g_writerThread = ::GetCurrentThreadId();
    return size == 70004 && ::GetCurrentThreadId() == g_writerThread ? Refused() : std::realloc(block, size);
}

struct NoRoom { const char* name; lumlib::ReallocFn realloc; bool ends; };
struct QueuedWithoutRoom : ::testing::TestWithParam<NoRoom> {};

}  // namespace

// A message queued behind a full pipe: the writer without memory to take it
// cannot send it later without leaving a gap in what the service reads, so
// the connection ends with that cause (the reader tells it once), after the
// frames before it, and nothing of it reaches the service. Without memory to
// copy it into its frame, the writer sends its length and its bytes in two
// writes: it arrives whole, and the connection stays.
TEST_P(QueuedWithoutRoom, EndsTheConnectionOrArrivesWhole) {
    Rig rig(L"chan-noroom");
    ASSERT_TRUE(rig.ok);
    CHandleHolder readAgain(lumlib::NewEvent());
    auto first = std::make_shared<std::atomic<bool>>(true);
    rig.server.SetResponder([first, &readAgain](CTestPipeServer&, size_t, const std::vector<uint8_t>&) {
        if (first->exchange(false)) ::WaitForSingleObject(readAgain.get(), 30000);
    });
    const std::vector<uint8_t> head = Pattern(8, 1), large = Pattern(2000000, 2), queued = Pattern(70000, 3);
    ASSERT_FALSE(rig.channel->SendData(CMessageBytes(head.data()), 8).failed());
    ASSERT_FALSE(rig.channel->SendData(CMessageBytes(large.data()), 2000000).failed());  // more than the pipe holds: handed over
    lumlib::SetReallocFn(GetParam().realloc);
    const lumlib::LumError sent = rig.channel->SendData(CMessageBytes(queued.data()), 70000);
    ::SetEvent(readAgain.get());
    const bool ends = GetParam().ends;
    ASSERT_TRUE(rig.server.WaitForFrames(ends ? 2 : 3, 10000));
    const Events events = rig.Until("lost", ends ? 10000 : 200);
    lumlib::SetReallocFn(nullptr);
    EXPECT_GE(g_refused.exchange(0), 1) << "the writer asked for no memory";
    EXPECT_FALSE(sent.failed()) << "queued behind the handed-over write";
    EXPECT_EQ(rig.server.Frame(1), large);
    EXPECT_EQ(std::count(events.begin(), events.end(), "lost"), ends ? 1 : 0);
    if (ends) {
        EXPECT_EQ(rig.lostError.load(), uint32_t(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_TRUE(rig.server.WaitForClientGone(0, 10000));
        EXPECT_EQ(rig.server.BytesReceived(0), 2 * 4 + 8 + 2000000u) << "part of the message without room was sent";
    } else {
        EXPECT_EQ(rig.server.Frame(2), queued);
    }
}

INSTANTIATE_TEST_SUITE_P(Channel, QueuedWithoutRoom,
                         ::testing::Values(NoRoom{"ToTakeIt", &NoBatchOf70000, true},
                                           NoRoom{"ToCopyItIntoItsFrame", &NoFrameOf70000, false}),
                         [](const ::testing::TestParamInfo<NoRoom>& p) { return std::string(p.param.name); });
