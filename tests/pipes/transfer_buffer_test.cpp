// The transfer buffer: one worker hands on, in order, what many threads push.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "pipes/TransferBuffer.h"
#include "tests/support/LumCapture.h"

namespace {

// Records what the worker delivers; the worker stays in the first block's
// Process until the gate opens.
class Sink : public CTransferBuffer {
public:
    ~Sink() override {
        ::SetEvent(gate.get());  // a failed test must not leave the worker held
        StopTransfer(1);
    }
    uint32_t Process(const uint8_t* data, uint64_t size, uint32_t) override {
        blocks.emplace_back(data, data + size);
        if (blocks.size() == expected) ::SetEvent(all.get());
        threads.insert(::GetCurrentThreadId());
        if (blocks.size() == 1) ::SignalObjectAndWait(entered.get(), gate.get(), 30000, FALSE);
        return 1;
    }
    CBuffersList* Queue() { return m_queue; }
    void Linger(DWORD ms, DWORD idleMs) { SetLinger(ms, idleMs); }
    size_t expected = 0;  // all is set when Process has seen this many blocks
    CHandleHolder all{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::vector<std::vector<uint8_t>> blocks;  // the test reads them once the worker has ended
    std::set<DWORD> threads;
    CHandleHolder entered{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    CHandleHolder gate{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

}  // namespace

// Blocks from 4 threads (10000 in all when drained), and empty ones between
// them, queue up behind a held block, or race a worker that empties the queue
// between bursts, waking at once or lingering and falling asleep in the
// pauses: all arrive without a stop's help (a lost wake-up leaves blocks
// behind); then a draining stop delivers them all in order, an immediate one none.
TEST(TransferBuffer, DrainingStopDeliversAllInOrderImmediateStopDropsThem) {
    const uint32_t kThreads = 4;
    for (int mode : {0, 1, 2, 3}) {  // held, racing, immediate stop, racing a lingering worker
        const bool immediate = mode == 2, racing = mode == 1 || mode == 3;
        const uint32_t kPerThread = immediate ? 100 : 2500;
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        Sink s;
        s.expected = 1 + size_t(kThreads) * kPerThread + (mode == 3);
        if (mode == 3) s.Linger(2, 10);
        if (racing) ::SetEvent(s.gate.get());
        ASSERT_EQ(s.Push("held", 4), 1u);
        ASSERT_EQ(::WaitForSingleObject(s.entered.get(), 10000), WAIT_OBJECT_0);
        std::vector<std::thread> producers;
        for (uint32_t t = 0; t < kThreads; ++t) {
            producers.emplace_back([&s, t, kPerThread, racing] {
                uint32_t block[8] = {t};
                for (block[1] = 0; block[1] < kPerThread; ++block[1]) {
                    s.Push(block, 8 + block[1] % 25);
                    if (block[1] % 7 == 0) s.Push(block, 0);  // never reaches Process
                    if (racing && block[1] % 64 == 0) ::Sleep(block[1] % 512 ? 1 : 15);  // the worker empties the queue (and sleeps)
                }
            });
        }
        for (std::thread& p : producers) p.join();
        if (immediate) {
            zk_testkit::Background stopper([&] { EXPECT_EQ(s.StopTransfer(1), WAIT_OBJECT_0); });
            // closing, then the queue dropped, then the worker waited for; nothing signals the drop
            for (int i = 0; i < 1000 && !s.Queue()->IsEmpty(); ++i) ::Sleep(10);
            EXPECT_EQ(s.Queue()->IsEmpty(), 1u);
            EXPECT_EQ(s.Push("late", 4), 0u);
            ::SetEvent(s.gate.get());
            EXPECT_TRUE(stopper.Finished(30000));
            EXPECT_EQ(s.blocks.size(), 1u);
            continue;
        }
        ::SetEvent(s.gate.get());
        if (mode == 3) {  // one more of producer 0's blocks, once the worker is surely asleep
            ::Sleep(50);
            uint32_t block[8] = {0, kPerThread};
            s.Push(block, 8 + kPerThread % 25);
        }
        if (racing) {
            EXPECT_EQ(::WaitForSingleObject(s.all.get(), 10000), WAIT_OBJECT_0);
        }
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
        EXPECT_EQ(s.threads.size(), 1u);  // one worker, none of the producers
        EXPECT_EQ(s.threads.count(::GetCurrentThreadId()), 0u);
    }
}

// No memory for a block's copy: the worker drops that block and goes on with
// the next; it never ends over it.
void* NoLargeBlocks(void* block, size_t size) { return size >= 20000 && size < 32767 ? nullptr : realloc(block, size); }

TEST(TransferBuffer, ABlockWithoutMemoryForItsCopyIsDroppedAndTheWorkerGoesOn) {
    Sink s;
    ::SetEvent(s.gate.get());
    std::vector<uint8_t> big(25000, 7);
    lumlib::SetReallocFn(&NoLargeBlocks);
    ASSERT_EQ(s.Push(big.data(), big.size()), 1u);
    ASSERT_EQ(s.Push("after", 5), 1u);
    for (int i = 0; i < 500 && s.GetDroppedCount() == 0; ++i) ::Sleep(10);
    lumlib::SetReallocFn(nullptr);
    EXPECT_EQ(s.StopTransfer(0), WAIT_OBJECT_0);  // drains: the worker is still there
    EXPECT_EQ(s.GetDroppedCount(), 1u);
    ASSERT_EQ(s.blocks.size(), 1u);
    EXPECT_EQ(std::string(s.blocks[0].begin(), s.blocks[0].end()), "after");
}
