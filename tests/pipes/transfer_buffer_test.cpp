#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pipes/TransferBuffer.h"

namespace {

// What the worker delivered; lives outside the sink so that it outlasts it.
struct Delivered {
    std::mutex m;
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<uint32_t> emptyFlags;
    std::set<DWORD> threads;
    // While holding, Process reports each block on `entered` and waits for the gate.
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
    uint32_t Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) override {
        Delivered* d = m_d;  // the sink may be under destruction once the gate opens
        {
            std::lock_guard<std::mutex> g(d->m);
            d->blocks.emplace_back(data, data + size);
            d->emptyFlags.push_back(queueEmpty);
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
    HANDLE QuitEvent() { return m_tbQuitEvent.Get(); }

private:
    Delivered* m_d;
    bool m_stop;
};

// Holds the worker inside Process of the first block and queues `more` behind it.
void HoldWorkerWithQueued(Delivered& d, Sink& s, int more) {
    d.holding = true;
    uint32_t first = 1000;
    ASSERT_EQ(s.Push(&first, sizeof first), 1u);
    ASSERT_EQ(::WaitForSingleObject(d.entered, 10000), WAIT_OBJECT_0);
    for (int i = 0; i < more; ++i) ASSERT_EQ(s.Push(&i, sizeof i), 1u);
}

// No event marks the queue being cleared by another thread: poll it.
bool WaitQueueEmpty(CBuffersList* q) {
    for (int i = 0; i < 1000; ++i) {
        if (q->IsEmpty()) return true;
        ::Sleep(10);
    }
    return false;
}

size_t g_failSize = 0;
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
            for (uint32_t seq = 0; seq < kPerThread; ++seq) {
                block[1] = seq;
                s.Push(block, 8 + seq % 25);  // varying sizes move the prefixes around
            }
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
    EXPECT_EQ(d.threads.size(), 1u);
    EXPECT_EQ(d.threads.count(::GetCurrentThreadId()), 0u);
}

TEST(TransferBuffer, DrainingStopDeliversEveryQueuedBlock) {
    Delivered d;
    Sink s(&d);
    ASSERT_NO_FATAL_FAILURE(HoldWorkerWithQueued(d, s, 49));
    d.Release();
    EXPECT_EQ(s.StopTransfer(0), WAIT_OBJECT_0);
    ASSERT_EQ(d.blocks.size(), 50u);
    for (int i = 0; i < 49; ++i) EXPECT_EQ(*reinterpret_cast<int*>(d.blocks[i + 1].data()), i);
    // queue-empty flag: the first block was alone, then 48 had followers, the last had none
    EXPECT_EQ(d.emptyFlags.front(), 1u);
    EXPECT_EQ(std::count(d.emptyFlags.begin(), d.emptyFlags.end(), 0u), 48);
    EXPECT_EQ(d.emptyFlags.back(), 1u);
}

TEST(TransferBuffer, ImmediateStopDropsQueuedBlocksAndRefusesPush) {
    Delivered d;
    Sink s(&d);
    ASSERT_NO_FATAL_FAILURE(HoldWorkerWithQueued(d, s, 49));
    DWORD result = WAIT_FAILED;
    std::thread stopper([&] { result = s.StopTransfer(1); });
    ASSERT_TRUE(WaitQueueEmpty(s.Queue()));
    int late = 7;
    EXPECT_EQ(s.Push(&late, sizeof late), 0u);
    d.Release();
    stopper.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
    EXPECT_EQ(d.Count(), 1u);
    EXPECT_EQ(s.Queue()->IsEmpty(), 1u);
}

TEST(TransferBuffer, QuitSignalledWhileBlocksWaitDeliversNoMore) {
    Delivered d;
    Sink s(&d);
    ASSERT_NO_FATAL_FAILURE(HoldWorkerWithQueued(d, s, 5));
    ::SetEvent(s.QuitEvent());
    d.Release();
    ASSERT_EQ(::WaitForSingleObject(s.Worker(), 10000), WAIT_OBJECT_0);
    DWORD code = 1;
    ::GetExitCodeThread(s.Worker(), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(d.Count(), 1u);
}

TEST(TransferBuffer, ZeroLengthBlocksNeverReachProcess) {
    Delivered d;
    Sink s(&d);
    const char text[] = "abcde";
    const uint64_t sizes[] = {0, 3, 0, 0, 5, 0};
    for (uint64_t n : sizes) EXPECT_EQ(s.Push(n ? text : nullptr, n), 1u);
    EXPECT_EQ(s.StopTransfer(0), WAIT_OBJECT_0);
    ASSERT_EQ(d.blocks.size(), 2u);
    EXPECT_EQ(std::string(d.blocks[0].begin(), d.blocks[0].end()), "abc");
    EXPECT_EQ(std::string(d.blocks[1].begin(), d.blocks[1].end()), "abcde");
}

TEST(TransferBuffer, DestructionDropsQueuedBlocksWithoutHanging) {
    Delivered d;
    Sink* s = new Sink(&d, false);  // the base destructor alone stops the worker
    HoldWorkerWithQueued(d, *s, 99);
    if (HasFatalFailure()) {
        d.Release();
        delete s;
        return;
    }
    CBuffersList* queue = s->Queue();
    CHandleHolder done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread deleter([&] { delete s; ::SetEvent(done); });
    EXPECT_TRUE(WaitQueueEmpty(queue));  // cleared before the destructor waits for the worker
    d.Release();
    EXPECT_EQ(::WaitForSingleObject(done, 30000), WAIT_OBJECT_0);
    deleter.join();
    EXPECT_EQ(d.Count(), 1u);
}

TEST(TransferBuffer, OutOfMemoryPaths) {
    Delivered d;
    g_failSize = CBuffersList::kBufferSize;
    CBuffersList::SetReallocFn(&FailOneSize);
    CLumException* e = nullptr;
    try {
        Sink none(&d);
    } catch (CLumException* raised) {
        e = raised;
    }
    CBuffersList::SetReallocFn(nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->GetModule(), L"TransferBuffer");
    EXPECT_EQ(e->GetLine(), 25u);
    EXPECT_EQ(e->GetError(), 8u);
    delete e;

    // A block the worker cannot make room for stays queued, and a draining
    // stop does not wait for it forever.
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
