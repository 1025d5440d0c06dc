// The transfer buffer: one worker hands on, in order, what many threads push; and its block queue
// against a std::deque model.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "support/TransferBuffer.h"
#include "tests/support/LumCapture.h"
#include "tests/support/Watchdog.h"

namespace {

const uint32_t kBuf = static_cast<uint32_t>(CBuffersList::kBufferSize);

std::vector<uint8_t> Pattern(size_t n, uint32_t id) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(id * 131 + i * 7 + (i >> 9));
    return v;
}

// Records what the worker delivers; the worker stays in the first block's
// Process until the gate opens, and in a later one-byte block "H" until
// gateH opens. The test ends within two minutes of making it, the sink's stop included.
class Sink : public CTransferBuffer {
public:
    // onDemandMs: the worker ends after that long without work, and a push restarts it.
    explicit Sink(DWORD onDemandMs = 0) {
        SetOnDemand(onDemandMs);
        EXPECT_EQ(Start(), 0u);
    }
    ~Sink() override {
        ::SetEvent(gate.get());  // a failed test must not leave the worker held
        ::SetEvent(gateH.get());
        StopTransfer(1);
    }
    uint32_t Process(const uint8_t* data, uint64_t size, uint32_t) override {
        blocks.emplace_back(data, data + size);
        epochs.push_back(DeliveringEpoch());
        if (blocks.size() == expected) ::SetEvent(all.get());
        threads.insert(::GetCurrentThreadId());
        if (blocks.size() == 1) ::SignalObjectAndWait(entered.get(), gate.get(), 30000, FALSE);
        else if (size == 1 && data[0] == 'H') ::SignalObjectAndWait(enteredH.get(), gateH.get(), 30000, FALSE);
        return 1;
    }
    // A dropped block shows where it stood, as "!".
    void Dropped(uint32_t count, uint64_t) override { blocks.insert(blocks.end(), count, std::vector<uint8_t>{'!'}); }
    testkit::Watchdog watchdog{::testing::UnitTest::GetInstance()->current_test_info()->name(), 120000};
    size_t expected = 0;  // all is set when Process has seen this many blocks
    CHandleHolder all{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::vector<std::vector<uint8_t>> blocks;  // the test reads them once the worker has ended
    std::vector<uint64_t> epochs;              // each delivered block's
    std::set<DWORD> threads;
    CHandleHolder entered{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    CHandleHolder gate{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    CHandleHolder enteredH{::CreateEventW(nullptr, TRUE, FALSE, nullptr)}, gateH{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

}  // namespace

enum class Feed { kHeld, kRacing, kRacingLingering, kRacingOnDemand };
const char* const kFeedNames[] = {"Held", "Racing", "RacingLingering", "RacingOnDemand"};
class TransferFeed : public testing::TestWithParam<Feed> {};

// What producer t pushes: 2500 numbered blocks (and empty ones between them),
// pausing now and then so the worker empties the queue (and goes to sleep)
// when racing.
void Produce(Sink& s, uint32_t t, Feed feed) {
    for (uint32_t n = 0; n < 2500; ++n) {
        const uint32_t block[8] = {t, n};
        s.Push(block, 8 + n % 25);
        if (n % 7 == 0) s.Push(block, 0);  // never reaches Process
        if (feed != Feed::kHeld && n % 64 == 0) ::Sleep(n % 512 ? 1 : 15);
    }
}

// Blocks from 4 threads queue up behind a held block, or race a worker that
// empties the queue between bursts, waking at once or lingering, or one that
// ends when idle for 1 ms and is started again by a push: all arrive without
// a stop's help (a lost wake-up or a worker ending on a push leaves blocks
// behind), each producer's in order, on the worker.
TEST_P(TransferFeed, EveryBlockArrivesInOrderOnTheWorker) {
    const Feed feed = GetParam();
    const uint32_t kThreads = 4;
    Sink s(feed == Feed::kRacingOnDemand ? 1 : 0);
    s.expected = 1 + size_t(kThreads) * 2500 + (feed == Feed::kRacingLingering);
    if (feed == Feed::kRacingLingering) s.SetLinger(2);
    if (feed != Feed::kHeld) ::SetEvent(s.gate.get());
    ASSERT_EQ(s.Push("held", 4), 1u);
    ASSERT_EQ(::WaitForSingleObject(s.entered.get(), 10000), WAIT_OBJECT_0);
    std::vector<std::thread> producers;
    for (uint32_t t = 0; t < kThreads; ++t) producers.emplace_back([&s, t, feed] { Produce(s, t, feed); });
    for (std::thread& p : producers) p.join();
    ::SetEvent(s.gate.get());
    if (feed == Feed::kRacingLingering) {  // one more of producer 0's blocks, once the worker is surely asleep
        ::Sleep(50);
        uint32_t block[8] = {0, 2500};
        s.Push(block, 8 + 2500 % 25);
    }
    // Generous: under the heap checker on a busy host the feeds took up to 18 s, and an on-demand
    // worker's many starts more; a lost wake-up leaves the blocks until the stop, never delivered.
    if (feed != Feed::kHeld) { EXPECT_EQ(::WaitForSingleObject(s.all.get(), 60000), WAIT_OBJECT_0) << "a lost wake-up"; }
    EXPECT_EQ(s.StopTransfer(0), WAIT_OBJECT_0);
    ASSERT_EQ(s.blocks.size(), s.expected);
    std::vector<int64_t> last(kThreads, -1);
    for (size_t i = 1; i < s.blocks.size(); ++i) {
        uint32_t head[2];
        ASSERT_GE(s.blocks[i].size(), 8u);
        std::memcpy(head, s.blocks[i].data(), sizeof head);
        ASSERT_LT(head[0], kThreads);
        ASSERT_EQ(int64_t(head[1]), last[head[0]] + 1) << "producer " << head[0];
        ASSERT_EQ(s.blocks[i].size(), 8u + head[1] % 25);
        last[head[0]] = head[1];
    }
    // An on-demand worker is a new thread after each idle spell.
    if (feed != Feed::kRacingOnDemand) { EXPECT_EQ(s.threads.size(), 1u) << "one worker, none of the producers"; }
    EXPECT_EQ(s.threads.count(::GetCurrentThreadId()), 0u) << "the stop delivered on its own thread";
}

INSTANTIATE_TEST_SUITE_P(Feeds, TransferFeed,
                         testing::Values(Feed::kHeld, Feed::kRacing, Feed::kRacingLingering, Feed::kRacingOnDemand),
                         [](const testing::TestParamInfo<Feed>& p) { return std::string(kFeedNames[int(p.param)]); });

// A draining stop waits on the worker's progress: while the worker is held in
// a block it waits, and once the worker goes on it returns with everything
// delivered. An immediate stop drops what is queued and refuses pushes at
// once; after either stop a push is refused (accepted, it would never arrive).
TEST(TransferBuffer, DrainingStopWaitsForTheWorkerImmediateStopDropsTheQueue) {
    for (const bool immediate : {false, true}) {
        SCOPED_TRACE(immediate ? "immediate" : "draining");
        Sink s;
        ASSERT_EQ(s.Push("held", 4), 1u);
        ASSERT_EQ(::WaitForSingleObject(s.entered.get(), 10000), WAIT_OBJECT_0);
        for (uint32_t i = 0; i < 100; ++i) ASSERT_EQ(s.Push(&i, sizeof i), 1u);
        zk_testkit::Background stopper([&] { EXPECT_EQ(s.StopTransfer(immediate ? 1 : 0), WAIT_OBJECT_0); });
        EXPECT_FALSE(stopper.Finished(300)) << "the stop did not wait for the held worker";
        EXPECT_EQ(s.Push("late", 4), immediate ? 0u : 1u);
        ::SetEvent(s.gate.get());
        EXPECT_TRUE(stopper.Finished(30000));
        EXPECT_EQ(s.blocks.size(), immediate ? 1u : 102u);
        EXPECT_EQ(s.Push("after", 5), 0u) << "a push after the stop";
    }
}

// No memory for a copy, or no room under a cap. Each row's blocks are pushed
// behind a held first block "h" with fail installed from the start, or only for the block numbered failing; the refused blocks are
// counted and the first byte of each block that arrives is compared ("!" where the worker told of a drop).
void* NoLargeBlocks(void* block, size_t size) { return size >= 20000 && size < kBuf ? nullptr : realloc(block, size); }
void* NoQueueBuffer(void* block, size_t size) { return size == kBuf ? nullptr : realloc(block, size); }
void* OnlyQueueBuffers(void* block, size_t size) { return size != kBuf ? nullptr : realloc(block, size); }

const auto kItem = CTransferBuffer::kGroupItem, kEnd = CTransferBuffer::kGroupEnd, kLatest = CTransferBuffer::kLatest;
const std::vector<char> kAs(kBuf, 'A');
// 9 buffer-filling items use up the spares, so the end needs a new buffer.
const CTransferBuffer::Block kFill = {kAs.data(), kBuf - 8, kItem};
// Blocks of 70000 bytes: "H" and one of them make a worker's batch.
const std::vector<char> kXs(70000, 'x'), kYs(70000, 'y'), kZs(70000, 'z');
const CTransferBuffer::Block kX = {kXs.data(), 70000}, kY = {kYs.data(), 70000}, kZ = {kZs.data(), 70000};
const struct LimitCase {
    const char* name;
    lumlib::ReallocFn fail;
    int failing;  // -1: fail is installed from the start
    uint64_t cap;
    std::vector<CTransferBuffer::Block> blocks;
    uint32_t refused;
    const char* arrived;
    size_t epochAt = SIZE_MAX;  // a new epoch begins before this block
    size_t releaseAt = SIZE_MAX;  // before this block the held worker goes on, up to the next "H"
} kLimitCases[] = {
    // The worker drops a block it has no memory for, tells of it, and goes on.
    {"WorkerDropsABlock", &NoLargeBlocks, -1, 0, {{kAs.data(), 25000}, {"y", 1}}, 0, "h!y"},
    // A list whose end could not be queued is ended by the next one's end, never joined to it.
    {"ListEndNotQueued", &NoQueueBuffer, 9, 0,
     {kFill, kFill, kFill, kFill, kFill, kFill, kFill, kFill, kFill, {"a", 1, kEnd}, {"B", 1, kItem}, {"b", 1, kEnd}}, 2,
     "hAAAAAAAAAb"},
    // A worker without a buffer still hands a list and its end over.
    {"WorkerWithoutBuffer", &OnlyQueueBuffers, -1, 0, {{"A", 1, kItem}, {"a", 1, kEnd}}, 0, "hAa"},
    // Past the cap a latest block is set aside and the newest replaces it
    // where the first stood: c, d and the replaced 1 are refused.
    {"LatestPastTheCap", nullptr, -1, 2 * CBuffersList::Footprint(1),
     {{"a", 1}, {"b", 1}, {"1", 1, kLatest}, {"c", 1}, {"2", 1, kLatest}, {"d", 1}}, 3, "hab2"},
    // One set aside in an earlier epoch (an old connection's) is replaced by
    // the newest, which takes a place of its own in the new epoch.
    {"LatestOfANewEpoch", nullptr, -1, 2 * CBuffersList::Footprint(1),
     {{"a", 1}, {"b", 1}, {"1", 1, kLatest}, {"2", 1, kLatest}, {"c", 1}}, 2, "hab2", 3},
    // One that fits under the cap while one of its epoch waits set aside (the
    // worker took "H" and x; y and the set-aside place wait) replaces it there:
    // queued behind it, 2 would come after 3, and the application keep the older.
    {"LatestUnderTheCapWhileOneWaitsSetAside", nullptr, -1, CBuffersList::Footprint(1) + 2 * CBuffersList::Footprint(70000),
     {{"H", 1}, kX, kY, {"1", 1, kLatest}, {"2", 1, kLatest}, kZ, {"3", 1, kLatest}}, 2, "hHxy3z", SIZE_MAX, 4},
};
class TransferLimits : public testing::TestWithParam<LimitCase> {};

TEST_P(TransferLimits, NoListIsJoinedToTheNextAndTheWorkerGoesOn) {
    const LimitCase& c = GetParam();
    if (c.failing < 0) lumlib::SetReallocFn(c.fail);
    Sink s;
    s.SetQueueCap(c.cap);
    ASSERT_EQ(s.Push("h", 1), 1u);
    ASSERT_EQ(::WaitForSingleObject(s.entered.get(), 10000), WAIT_OBJECT_0);  // the queue is empty again
    uint32_t refused = 0;
    for (int i = 0; i < int(c.blocks.size()); ++i) {
        lumlib::SetReallocFn(c.failing < 0 || i == c.failing ? c.fail : nullptr);
        if (size_t(i) == c.epochAt) s.BeginEpoch();
        if (size_t(i) == c.releaseAt) {
            ::SetEvent(s.gate.get());
            ASSERT_EQ(::WaitForSingleObject(s.enteredH.get(), 10000), WAIT_OBJECT_0);
        }
        refused += s.PushBatch(&c.blocks[size_t(i)], 1).count;
    }
    ::SetEvent(s.gate.get());
    ::SetEvent(s.gateH.get());
    EXPECT_EQ(s.StopTransfer(0), WAIT_OBJECT_0);  // drains: the worker is still there
    lumlib::SetReallocFn(nullptr);
    EXPECT_EQ(refused, c.refused);
    std::string arrived;
    for (const auto& b : s.blocks) arrived += b.empty() ? '-' : char(b[0]);
    EXPECT_EQ(arrived, c.arrived);
    if (c.epochAt != SIZE_MAX) {
        EXPECT_EQ(s.epochs.back(), 1u) << "the newest was handed over in the earlier epoch";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TransferLimits, testing::ValuesIn(kLimitCases),
                         [](const testing::TestParamInfo<LimitCase>& p) { return std::string(p.param.name); });

TEST(BuffersList, MatchesAFifoModel) {
    const uint32_t seed = 20261207;
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    CBuffersList q;
    std::deque<std::vector<uint8_t>> model;
    uint32_t id = 0;
    // 'w' writes a block of size bytes, 'p' looks at the front block's size, 'r' takes it
    auto step = [&](char op, size_t size) {
        if (op == 'w') {
            model.push_back(Pattern(size, ++id));
            EXPECT_TRUE(q.Write(size, model.back().data()));
        } else if (op == 'r') {
            std::vector<uint8_t> got(model.empty() ? 1 : model.front().size() + 1);
            uint64_t length = 12345;
            EXPECT_EQ(q.TakeFront(got.data(), got.size(), &length), !model.empty());
            got.resize(static_cast<size_t>(length));
            if (!model.empty()) {
                EXPECT_TRUE(got == model.front()) << "size " << length;
                model.pop_front();
            }
        }
        EXPECT_EQ(q.IsEmpty(), model.empty());
        EXPECT_EQ(q.GetNextSize(), model.empty() ? 0 : model.front().size());
    };

    // Around a buffer's end: 7 bytes left (no room for a prefix), a block
    // ending exactly there, 8 bytes left (a prefix whose payload goes on).
    for (const uint32_t size : {kBuf - 15, 10u, kBuf - 26, 0u, kBuf - 24, 10u}) step('w', size);
    lumlib::SetReallocFn(&NoQueueBuffer);  // no new buffer: a block written part way is taken back whole
    EXPECT_FALSE(q.Write(400000, Pattern(400000, 0).data()));
    lumlib::SetReallocFn(nullptr);
    for (int i = 0; i < 7; ++i) { step('p', 0); step('r', 0); }  // the 7th finds the queue empty

    // small, medium, ending around a buffer's end, large, up to 200000
    const uint32_t limits[] = {64, 4096, 0, 40000, 200001}, weights[] = {35, 70, 80, 92, 100};
    for (int i = 0; i < 3000; ++i) {
        uint32_t op = rng() % 100, r = rng() % 100, k = 0;
        while (r >= weights[k]) ++k;
        step(op < 50 ? 'w' : op < 85 ? 'r' : 'p', limits[k] ? rng() % limits[k] : kBuf - 8 - rng() % 12);
        ASSERT_FALSE(HasFailure()) << "step " << i;
    }

    while (!model.empty()) step('r', 0);
    step('w', 250000);  // a block larger than the room given stays at the front
    uint8_t small[1000];
    EXPECT_FALSE(q.TakeFront(small, sizeof small, nullptr));
    EXPECT_EQ(q.GetNextSize(), 250000u);
    step('r', 0);
}
