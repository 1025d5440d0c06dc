#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "pipes/TransferBuffer.h"

namespace {

const uint32_t kBuf = static_cast<uint32_t>(CBuffersList::kBufferSize);

// Exposes the chain and spare list, read under the list's own lock.
class ListProbe : public CBuffersList {
public:
    std::vector<uint8_t*> Chain() { return Snapshot(m_chain); }
    std::vector<uint8_t*> Spares() { return Snapshot(m_spares); }
    void RequestRefill() { ::SetEvent(m_refillEvent); }

private:
    std::vector<uint8_t*> Snapshot(const std::list<uint8_t*>& l) {
        lumlib::__auto_locker lock(GetLock());
        lock.Lock();
        return std::vector<uint8_t*>(l.begin(), l.end());
    }
};

std::vector<uint8_t> Pattern(size_t n, uint32_t id) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(id * 131 + i * 7 + (i >> 9));
    return v;
}

// Reads one block; false when the list returned null.
bool ReadBlock(CBuffersList& q, uint32_t remove, std::vector<uint8_t>* out) {
    uint64_t size = 12345;
    uint8_t* p = q.Read(&size, remove);
    if (!p) return false;
    out->assign(p, p + size);
    return true;
}

// Swaps the list allocator for one test and always puts the normal one back.
struct AllocatorScope {
    explicit AllocatorScope(CBuffersList::ReallocFn fn) { CBuffersList::SetReallocFn(fn); }
    ~AllocatorScope() { CBuffersList::SetReallocFn(nullptr); }
};
size_t g_failSize = 0;
void* FailOneSize(void* p, size_t n) { return n == g_failSize ? nullptr : std::realloc(p, n); }

}  // namespace

TEST(BuffersList, RandomOperationsMatchFifoModel) {
    const uint32_t seed = 20261207;
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    auto pickSize = [&rng]() -> size_t {
        uint32_t r = rng() % 100;
        if (r < 35) return rng() % 64;
        if (r < 70) return rng() % 4096;
        if (r < 80) return kBuf - 8 - rng() % 12;  // around a buffer's end
        if (r < 92) return rng() % 40000;
        return rng() % 200001;
    };
    ListProbe q;
    std::deque<std::vector<uint8_t>> model;
    std::vector<uint8_t> got;
    uint32_t id = 0;
    for (int step = 0; step < 3000; ++step) {
        uint32_t op = rng() % 100;
        if (op < 50) {
            std::vector<uint8_t> block = Pattern(pickSize(), ++id);
            q.Write(block.size(), block.data());
            model.push_back(std::move(block));
        } else {
            uint32_t remove = op < 85 ? 1 : 0;
            bool ok = ReadBlock(q, remove, &got);
            ASSERT_EQ(ok, !model.empty()) << "step " << step;
            if (ok) {
                ASSERT_TRUE(got == model.front()) << "step " << step << " size " << got.size();
                if (remove) model.pop_front();
            }
        }
        ASSERT_EQ(q.IsEmpty(), model.empty() ? 1u : 0u) << "step " << step;
        ASSERT_EQ(q.GetNextSize(), model.empty() ? 0 : model.front().size()) << "step " << step;
        if (model.empty()) {
            ASSERT_EQ(q.GetWriteOffset() + q.GetReadOffset(), 0u) << "step " << step;
        }
    }
    while (!model.empty()) {
        ASSERT_TRUE(ReadBlock(q, 1, &got));
        ASSERT_TRUE(got == model.front());
        model.pop_front();
    }
    EXPECT_EQ(q.GetChainCount(), 0u);
}

// The block before the second one leaves `left` bytes in the first buffer.
struct BoundaryCase { uint32_t left, writeAfterSecond, readAfterFirst; size_t chainAfterFirst; };

TEST(BuffersList, PrefixNeverSplitAcrossBuffers) {
    const BoundaryCase cases[] = {
        {0, 18, 0, 1},                 // first block ends at the buffer's last byte
        {7, 18, 0, 1},                 // 7 bytes cannot hold a prefix
        {8, 10, kBuf - 8, 2},          // prefix fits exactly, payload in the next buffer
        {9, 9, kBuf - 9, 2},           // one payload byte still fits
    };
    for (const BoundaryCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "bytes left " << c.left);
        ListProbe q;
        std::vector<uint8_t> a = Pattern(kBuf - 8 - c.left, 1), b = Pattern(10, 2), got;
        q.Write(a.size(), a.data());
        EXPECT_EQ(q.GetWriteOffset(), kBuf - c.left);
        q.Write(b.size(), b.data());
        EXPECT_EQ(q.GetChainCount(), 2u);
        EXPECT_EQ(q.GetWriteOffset(), c.writeAfterSecond);
        ASSERT_TRUE(ReadBlock(q, 1, &got));
        EXPECT_TRUE(got == a);
        EXPECT_EQ(q.GetReadOffset(), c.readAfterFirst);
        EXPECT_EQ(q.GetChainCount(), c.chainAfterFirst);
        ASSERT_TRUE(ReadBlock(q, 1, &got));
        EXPECT_TRUE(got == b);
        EXPECT_EQ(q.IsEmpty(), 1u);
    }
}

TEST(BuffersList, PeekLeavesQueueUnchanged) {
    ListProbe q;
    std::vector<uint8_t> a = Pattern(40000, 1), b = Pattern(5, 2), got;
    q.Write(a.size(), a.data());
    q.Write(b.size(), b.data());
    std::vector<uint8_t*> chain = q.Chain();
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(ReadBlock(q, 0, &got));
        EXPECT_TRUE(got == a);
        EXPECT_EQ(q.GetNextSize(), 40000u);
        EXPECT_EQ(q.IsEmpty(), 0u);
        EXPECT_EQ(q.GetReadOffset(), 0u);
        EXPECT_EQ(q.GetWriteOffset(), 40008u + 13u - kBuf);
        EXPECT_EQ(q.Chain(), chain);
    }
    ASSERT_TRUE(ReadBlock(q, 1, &got));
    EXPECT_TRUE(got == a);
    EXPECT_EQ(q.GetNextSize(), 5u);
}

TEST(BuffersList, LastBlockRemovedResetsOffsetsAndReturnsBuffer) {
    ListProbe q;
    std::vector<uint8_t> a = Pattern(100, 1), got;
    EXPECT_EQ(q.GetNextSize(), 0u);
    q.Write(a.size(), a.data());
    uint8_t* buffer = q.Chain().at(0);
    q.SetPartialOffset(30);
    ASSERT_TRUE(ReadBlock(q, 1, &got));
    EXPECT_TRUE(got == a);
    EXPECT_EQ(q.GetChainCount(), 0u);
    EXPECT_EQ(q.GetReadOffset() + q.GetWriteOffset() + q.GetPartialOffset(), 0u);
    std::vector<uint8_t*> spares = q.Spares();
    EXPECT_NE(std::find(spares.begin(), spares.end(), buffer), spares.end());
    EXPECT_FALSE(ReadBlock(q, 1, &got));
    q.Write(20, a.data());
    EXPECT_EQ(q.GetReadOffset(), 0u);
    EXPECT_EQ(q.GetWriteOffset(), 28u);
}

TEST(BuffersList, NextSizeSubtractsPartialOffset) {
    CBuffersList q;
    std::vector<uint8_t> a = Pattern(50, 1), b;
    q.Write(a.size(), a.data());
    q.Write(0, nullptr);  // a zero-length block is legal
    q.SetPartialOffset(10);
    EXPECT_EQ(q.GetNextSize(), 40u);
    ASSERT_TRUE(ReadBlock(q, 1, &b));
    EXPECT_EQ(q.GetPartialOffset(), 0u);
    EXPECT_EQ(q.GetNextSize(), 0u);
    EXPECT_EQ(q.IsEmpty(), 0u);
    ASSERT_TRUE(ReadBlock(q, 1, &b));
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(q.IsEmpty(), 1u);
}

TEST(BuffersList, LargeBlockSpansFourBuffersWhichReturnToSpares) {
    ListProbe q;
    std::vector<uint8_t> a = Pattern(100000, 1), got;
    q.Write(a.size(), a.data());
    std::vector<uint8_t*> chain = q.Chain();
    ASSERT_EQ(chain.size(), 4u);
    ASSERT_TRUE(ReadBlock(q, 1, &got));
    EXPECT_TRUE(got == a);
    EXPECT_GE(q.GetBlockBufferSize(), 100000u);
    std::vector<uint8_t*> spares = q.Spares();
    for (uint8_t* b : chain) EXPECT_NE(std::find(spares.begin(), spares.end(), b), spares.end());
}

TEST(BuffersList, NeverKeepsMoreThanLimitSpares) {
    CBuffersList q;
    std::vector<uint8_t> a = Pattern(32000, 1), got;
    for (int i = 0; i < 150; ++i) q.Write(a.size(), a.data());
    EXPECT_GT(q.GetChainCount(), 140u);
    while (ReadBlock(q, 1, &got)) ASSERT_TRUE(got == a);
    EXPECT_EQ(q.GetSpareCount(), 100u);
    q.AllocateNewBuffers(3);  // full spare list: new buffers are not kept
    EXPECT_EQ(q.GetSpareCount(), 100u);
}

TEST(BuffersList, FailedAllocationLeavesQueueIntact) {
    ListProbe q;
    std::vector<uint8_t> small = Pattern(10, 1), big = Pattern(200000, 2), got;
    q.Write(small.size(), small.data());
    size_t chain = q.GetChainCount();
    uint32_t write = q.GetWriteOffset();
    {
        g_failSize = kBuf;
        AllocatorScope failing(&FailOneSize);
        CLumException* e = nullptr;
        try {
            q.Write(big.size(), big.data());
        } catch (CLumException* raised) {
            e = raised;
        }
        ASSERT_NE(e, nullptr);
        EXPECT_STREQ(e->GetModule(), L"BuffersList");
        EXPECT_EQ(e->GetLine(), 93u);
        EXPECT_EQ(e->GetError(), 8u);
        delete e;
        EXPECT_EQ(q.GetChainCount(), chain);
        EXPECT_EQ(q.GetWriteOffset(), write);
        EXPECT_EQ(q.GetNextSize(), 10u);
        try {
            ListProbe none;
            ADD_FAILURE() << "constructed without buffers";
        } catch (CLumException* raised) {
            EXPECT_EQ(raised->GetLine(), 93u);
            delete raised;
        }
    }
    // The refill thread survived its failed allocations and still answers.
    size_t spares = q.GetSpareCount();
    q.RequestRefill();
    for (int i = 0; i < 500 && q.GetSpareCount() < spares + 3; ++i) ::Sleep(10);
    EXPECT_GE(q.GetSpareCount(), spares + 3);
    q.Write(big.size(), big.data());
    ASSERT_TRUE(ReadBlock(q, 1, &got));
    EXPECT_TRUE(got == small);
    ASSERT_TRUE(ReadBlock(q, 1, &got));
    EXPECT_TRUE(got == big);
}

TEST(BuffersList, BlockStaysQueuedWhenBlockBufferCannotGrow) {
    CBuffersList q;
    std::vector<uint8_t> a = Pattern(40000, 1), b = Pattern(5, 2), got;
    q.Write(a.size(), a.data());
    q.Write(b.size(), b.data());
    {
        g_failSize = 40000;
        AllocatorScope failing(&FailOneSize);
        EXPECT_FALSE(ReadBlock(q, 1, &got));
        EXPECT_EQ(q.GetBlockBufferSize(), 0u);
        EXPECT_EQ(q.GetNextSize(), 40000u);
        EXPECT_FALSE(q.GrowPartBuffer(40000));
        EXPECT_EQ(q.GetPartBuffer(), nullptr);
        EXPECT_EQ(q.GetPartBufferSize(), 0u);
    }
    ASSERT_TRUE(ReadBlock(q, 1, &got));
    EXPECT_TRUE(got == a);
    ASSERT_TRUE(ReadBlock(q, 1, &got));
    EXPECT_TRUE(got == b);
    EXPECT_TRUE(q.GrowPartBuffer(40000));
    EXPECT_EQ(q.GetPartBufferSize(), 40000u);
}
