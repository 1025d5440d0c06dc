#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "pipes/TransferBuffer.h"

namespace {

// What the worker delivered; outlives the sink. While `holding`, Process
// reports each block on `entered` and waits for the gate.
struct Delivered {
    std::mutex m;
    std::vector<std::vector<uint8_t>> blocks;
    std::set<DWORD> threads;
    std::atomic<bool> holding{false};
    CHandleHolder entered{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    CHandleHolder gate{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    size_t Count() { std::lock_guard<std::mutex> g(m); return blocks.size(); }
    void Release() { holding = false; ::SetEvent(gate); }
};

class Sink : public CTransferBuffer {
public:
    explicit Sink(Delivered* d, bool stopOnDestroy = true) : m_d(d), m_stop(stopOnDestroy) {}
    ~Sink() override {
        if (!m_stop) return;
        m_d->Release();  // a failed test must not leave the worker held
        StopTransfer(1);
    }
    uint32_t Process(const uint8_t* data, uint64_t size, uint32_t) override {
        Delivered* d = m_d;  // the sink may be under destruction once the gate opens
        {
            std::lock_guard<std::mutex> g(d->m);
            d->blocks.emplace_back(data, data + size);
            d->threads.insert(::GetCurrentThreadId());
        }
        if (d->holding) {
            ::SetEvent(d->entered);
            ::WaitForSingleObject(d->gate, INFINITE);
        }
        return 1;
    }
    CBuffersList* Queue() { return m_queue; }
    HANDLE Worker() { return m_workerThread.Get(); }

private:
    Delivered* m_d;
    bool m_stop;
};

// Holds the worker in Process of a first block and queues `sizes` behind it
// (block i holds i, padded to its size).
void HoldWorkerWithQueued(Delivered& d, Sink& s, const std::vector<uint32_t>& sizes) {
    d.holding = true;
    uint32_t block[4] = {1000};
    ASSERT_EQ(s.Push(block, 4), 1u);
    ASSERT_EQ(::WaitForSingleObject(d.entered, 10000), WAIT_OBJECT_0);
    for (uint32_t i = 0; i < sizes.size(); ++i) {
        block[0] = i;
        ASSERT_EQ(s.Push(sizes[i] ? block : nullptr, sizes[i]), 1u);
    }
}

// Nothing signals that another thread cleared the queue: poll it.
bool WaitQueueEmpty(CBuffersList* q) {
    for (int i = 0; i < 1000 && !q->IsEmpty(); ++i) ::Sleep(10);
    return q->IsEmpty() != 0;
}

std::atomic<size_t> g_failSize{0};
void* FailOneSize(void* p, size_t n) { return n == g_failSize ? nullptr : std::realloc(p, n); }

}  // namespace

TEST(TransferBuffer, KeepsOrderOfEachProducerAcross100000Blocks) {
    const uint32_t kThreads = 4, kPerThread = 25000;
    Delivered d;
    Sink s(&d);
    std::vector<std::thread> producers;
    for (uint32_t t = 0; t < kThreads; ++t) {
        producers.emplace_back([&s, t] {
            uint32_t block[8] = {t};
            for (block[1] = 0; block[1] < kPerThread; ++block[1]) s.Push(block, 8 + block[1] % 25);
        });
    }
    for (std::thread& p : producers) p.join();
    EXPECT_EQ(s.StopTransfer(0), WAIT_OBJECT_0);

    ASSERT_EQ(d.blocks.size(), size_t(kThreads) * kPerThread);
    std::vector<int64_t> last(kThreads, -1);
    for (const std::vector<uint8_t>& b : d.blocks) {
        uint32_t head[2];
        std::memcpy(head, b.data(), sizeof head);
        ASSERT_LT(head[0], kThreads);
        ASSERT_EQ(int64_t(head[1]), last[head[0]] + 1) << "producer " << head[0];
        ASSERT_EQ(b.size(), 8u + head[1] % 25);
        last[head[0]] = head[1];
    }
    EXPECT_EQ(d.threads.size(), 1u);  // one worker, none of the producers
    EXPECT_EQ(d.threads.count(::GetCurrentThreadId()), 0u);
}

TEST(TransferBuffer, DrainDeliversEveryBlockButEmptyOnes) {
    Delivered d;
    Sink s(&d);
    std::vector<uint32_t> sizes;
    for (uint32_t i = 0; i < 40; ++i) sizes.push_back(i % 4 == 1 ? 0 : 4 + i % 13);
    ASSERT_NO_FATAL_FAILURE(HoldWorkerWithQueued(d, s, sizes));
    d.Release();
    EXPECT_EQ(s.StopTransfer(0), WAIT_OBJECT_0);
    ASSERT_EQ(d.blocks.size(), 31u);  // the held block and the 30 non-empty ones
    for (uint32_t i = 0, n = 1; i < sizes.size(); ++i) {
        if (!sizes[i]) continue;
        ASSERT_EQ(d.blocks[n].size(), sizes[i]);
        EXPECT_EQ(*reinterpret_cast<uint32_t*>(d.blocks[n++].data()), i);
    }
}

TEST(TransferBuffer, ImmediateStopAndDestructionDropQueuedBlocks) {
    for (int destroy = 0; destroy < 2; ++destroy) {
        SCOPED_TRACE(destroy ? "destructor" : "StopTransfer(1)");
        Delivered d;
        Sink* s = new Sink(&d, !destroy);  // with destroy, the base destructor alone stops the worker
        HoldWorkerWithQueued(d, *s, std::vector<uint32_t>(99, 8));
        CBuffersList* queue = s->Queue();
        CHandleHolder done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::thread stopper([&] {
            if (destroy) delete s;
            else s->StopTransfer(1);
            ::SetEvent(done);
        });
        EXPECT_TRUE(WaitQueueEmpty(queue));  // cleared before the worker is waited for
        if (!destroy) {
            EXPECT_EQ(s->Push("late", 4), 0u);
        }
        d.Release();
        EXPECT_EQ(::WaitForSingleObject(done, 30000), WAIT_OBJECT_0);
        stopper.join();
        EXPECT_EQ(d.Count(), 1u);
        if (!destroy) delete s;
    }
}

// A block the worker cannot make room for stays queued, and a draining stop
// does not wait for it forever.
TEST(TransferBuffer, WorkerWithoutMemoryLeavesBlockQueued) {
    Delivered d;
    Sink s(&d);
    std::vector<uint8_t> big(50000, 0x5A);
    g_failSize = big.size();
    CBuffersList::SetReallocFn(&FailOneSize);
    EXPECT_EQ(s.Push(big.data(), big.size()), 1u);
    EXPECT_EQ(::WaitForSingleObject(s.Worker(), 10000), WAIT_OBJECT_0);
    CBuffersList::SetReallocFn(nullptr);
    DWORD code = 0;
    ::GetExitCodeThread(s.Worker(), &code);
    EXPECT_EQ(code, 0xFFFFFFFFu);
    EXPECT_EQ(s.Queue()->GetNextSize(), big.size());
    EXPECT_EQ(s.StopTransfer(0), WAIT_OBJECT_0);
    EXPECT_EQ(d.Count(), 0u);
}
