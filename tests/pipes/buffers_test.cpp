#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <random>
#include <vector>

#include "pipes/TransferBuffer.h"

namespace {

const uint32_t kBuf = static_cast<uint32_t>(CBuffersList::kBufferSize);

// Exposes the chain and the spare list, copied under the list's own lock.
class ListProbe : public CBuffersList {
public:
    std::vector<uint8_t*> Chain() { return Copy(m_chain); }
    bool IsSpare(uint8_t* b) { auto s = Copy(m_spares); return std::find(s.begin(), s.end(), b) != s.end(); }
    void RequestRefill() { ::SetEvent(m_refillEvent); }

private:
    std::vector<uint8_t*> Copy(const std::list<uint8_t*>& l) {
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

// The front block, or nothing when Read returns null.
std::vector<uint8_t> Take(CBuffersList& q, uint32_t remove, bool* got = nullptr) {
    uint64_t size = 12345;
    uint8_t* p = q.Read(&size, remove);
    if (got) *got = p != nullptr;
    return p ? std::vector<uint8_t>(p, p + size) : std::vector<uint8_t>();
}

std::atomic<size_t> g_failSize{0};  // the refill thread reads it too
void* FailOneSize(void* p, size_t n) { return n == g_failSize ? nullptr : std::realloc(p, n); }

}  // namespace

TEST(BuffersList, RandomOperationsMatchFifoModel) {
    const uint32_t seed = 20261207;
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    // small, medium, ending around a buffer's end, large, up to 200000
    const uint32_t limits[] = {64, 4096, 0, 40000, 200001}, weights[] = {35, 70, 80, 92, 100};
    auto pickSize = [&]() -> size_t {
        uint32_t r = rng() % 100, k = 0;
        while (r >= weights[k]) ++k;
        return limits[k] ? rng() % limits[k] : kBuf - 8 - rng() % 12;
    };
    CBuffersList q;
    std::deque<std::vector<uint8_t>> model;
    uint32_t id = 0;
    bool got = false;
    for (int step = 0; step < 3000; ++step) {
        uint32_t op = rng() % 100;
        if (op < 50) {
            model.push_back(Pattern(pickSize(), ++id));
            q.Write(model.back().size(), model.back().data());
        } else {
            std::vector<uint8_t> block = Take(q, op < 85, &got);
            ASSERT_EQ(got, !model.empty()) << "step " << step;
            if (!got) continue;
            ASSERT_TRUE(block == model.front()) << "step " << step << " size " << block.size();
            if (op < 85) model.pop_front();
        }
        ASSERT_EQ(q.IsEmpty(), model.empty() ? 1u : 0u) << "step " << step;
        ASSERT_EQ(q.GetNextSize(), model.empty() ? 0 : model.front().size()) << "step " << step;
    }
    for (; !model.empty(); model.pop_front()) ASSERT_TRUE(Take(q, 1) == model.front());
    EXPECT_EQ(q.GetChainCount(), 0u);
}

TEST(BuffersList, PrefixNeverSplitAcrossBuffers) {
    // bytes the first block leaves in its buffer; where the second block ends;
    // where the reader rests after the first block, and how many buffers remain
    struct { uint32_t left, writeAfterSecond, readAfterFirst; size_t chainAfterFirst; } cases[] = {
        {0, 18, 0, 1},         // first block ends at the buffer's last byte
        {7, 18, 0, 1},         // 7 bytes cannot hold a prefix
        {8, 10, kBuf - 8, 2},  // the prefix fits exactly, its payload goes on
        {9, 9, kBuf - 9, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "bytes left " << c.left);
        CBuffersList q;
        std::vector<uint8_t> a = Pattern(kBuf - 8 - c.left, 1), b = Pattern(10, 2);
        q.Write(a.size(), a.data());
        q.Write(b.size(), b.data());
        EXPECT_EQ(q.GetChainCount(), 2u);
        EXPECT_EQ(q.GetWriteOffset(), c.writeAfterSecond);
        EXPECT_TRUE(Take(q, 1) == a);
        EXPECT_EQ(q.GetReadOffset(), c.readAfterFirst);
        EXPECT_EQ(q.GetChainCount(), c.chainAfterFirst);
        EXPECT_TRUE(Take(q, 1) == b);
    }
}

TEST(BuffersList, PeekPartialOffsetAndLastRemoval) {
    ListProbe q;
    std::vector<uint8_t> a = Pattern(40000, 1);
    EXPECT_EQ(q.GetNextSize(), 0u);
    q.Write(a.size(), a.data());
    q.Write(0, nullptr);  // an empty block: prefix only
    std::vector<uint8_t*> chain = q.Chain();
    for (int i = 0; i < 2; ++i) {  // peeking changes nothing
        EXPECT_TRUE(Take(q, 0) == a);
        EXPECT_EQ(q.GetNextSize(), 40000u);
        EXPECT_EQ(q.IsEmpty(), 0u);
        EXPECT_EQ(q.GetReadOffset(), 0u);
        EXPECT_EQ(q.GetWriteOffset(), 40016u - kBuf);
        EXPECT_EQ(q.Chain(), chain);
    }
    q.SetPartialOffset(10);
    EXPECT_EQ(q.GetNextSize(), 39990u);
    EXPECT_TRUE(Take(q, 1) == a);
    EXPECT_EQ(q.GetPartialOffset(), 0u);
    EXPECT_EQ(q.GetNextSize(), 0u);
    EXPECT_EQ(q.IsEmpty(), 0u);
    bool got = false;
    EXPECT_TRUE(Take(q, 1, &got).empty());
    EXPECT_TRUE(got);
    EXPECT_EQ(q.GetChainCount(), 0u);
    EXPECT_EQ(q.GetReadOffset() + q.GetWriteOffset(), 0u);
    EXPECT_TRUE(q.IsSpare(chain.back()));
    q.Write(20, a.data());  // a fresh buffer from offset 0
    EXPECT_EQ(q.GetWriteOffset(), 28u);
}

TEST(BuffersList, BuffersReturnToSparesUpToTheLimit) {
    ListProbe q;
    std::vector<uint8_t> big = Pattern(100000, 1), block = Pattern(32000, 2);
    q.Write(big.size(), big.data());
    std::vector<uint8_t*> chain = q.Chain();
    ASSERT_EQ(chain.size(), 4u);
    EXPECT_TRUE(Take(q, 1) == big);
    for (uint8_t* b : chain) EXPECT_TRUE(q.IsSpare(b));
    for (int i = 0; i < 150; ++i) q.Write(block.size(), block.data());
    EXPECT_GT(q.GetChainCount(), 140u);
    for (int i = 0; i < 150; ++i) ASSERT_TRUE(Take(q, 1) == block);
    EXPECT_EQ(q.GetSpareCount(), 100u);
    q.AllocateNewBuffers(3);
    EXPECT_EQ(q.GetSpareCount(), 100u);
}

TEST(BuffersList, OutOfMemoryLeavesQueueIntact) {
    ListProbe q;
    std::vector<uint8_t> small = Pattern(10, 1), big = Pattern(200000, 2);
    q.Write(small.size(), small.data());
    uint32_t write = q.GetWriteOffset();
    g_failSize = kBuf;  // no new buffers
    CBuffersList::SetReallocFn(&FailOneSize);
    // a Write part way through its block, a list's and a transfer buffer's constructor
    const struct { const wchar_t* module; uint32_t line; } raised[] = {
        {L"BuffersList", 93}, {L"BuffersList", 93}, {L"TransferBuffer", 25}};
    for (int i = 0; i < 3; ++i) {
        try {
            if (i == 0) q.Write(big.size(), big.data());
            else if (i == 1) CBuffersList none;
            else CTransferBuffer none;
            ADD_FAILURE() << "no exception, case " << i;
        } catch (CLumException* e) {
            EXPECT_STREQ(e->GetModule(), raised[i].module);
            EXPECT_EQ(e->GetLine(), raised[i].line);
            EXPECT_EQ(e->GetError(), 8u);
            delete e;
        }
    }
    EXPECT_EQ(q.GetChainCount(), 1u);
    EXPECT_EQ(q.GetWriteOffset(), write);
    CBuffersList::SetReallocFn(nullptr);
    q.Write(big.size(), big.data());
    g_failSize = big.size();  // no block buffer for it
    CBuffersList::SetReallocFn(&FailOneSize);
    EXPECT_TRUE(Take(q, 1) == small);
    bool got = true;
    Take(q, 1, &got);
    EXPECT_FALSE(got);
    EXPECT_EQ(q.GetBlockBufferSize(), 0u);
    EXPECT_EQ(q.GetNextSize(), big.size());
    EXPECT_FALSE(q.GrowPartBuffer(big.size()));
    EXPECT_EQ(q.GetPartBufferSize(), 0u);
    CBuffersList::SetReallocFn(nullptr);

    EXPECT_TRUE(Take(q, 1) == big);
    EXPECT_TRUE(q.GrowPartBuffer(big.size()));
    // the refill thread outlived its failed allocations
    size_t spares = q.GetSpareCount();
    q.RequestRefill();
    for (int i = 0; i < 500 && q.GetSpareCount() < spares + 3; ++i) ::Sleep(10);
    EXPECT_GE(q.GetSpareCount(), spares + 3);
}
