// The block queue against a std::deque model.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <random>
#include <vector>

#include "support/TransferBuffer.h"

namespace {

const uint32_t kBuf = static_cast<uint32_t>(CBuffersList::kBufferSize);

std::vector<uint8_t> Pattern(size_t n, uint32_t id) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(id * 131 + i * 7 + (i >> 9));
    return v;
}

std::atomic<size_t> g_failSize{0};
void* FailOneSize(void* p, size_t n) { return n == g_failSize ? nullptr : std::realloc(p, n); }

}  // namespace

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
        EXPECT_EQ(q.GetChainCount() == 0, model.empty());  // the last removal gives its buffer back
    };

    // A prefix is never split: 7 bytes left start a new buffer, a block may end
    // exactly at a buffer's end, and 8 bytes left take a prefix whose payload goes on.
    const struct { uint32_t size, writeOffset; } prelude[] = {
        {kBuf - 15, kBuf - 7}, {10, 18}, {kBuf - 26, kBuf}, {0, 8}, {kBuf - 24, kBuf - 8}, {10, 10}};
    for (const auto& w : prelude) {
        step('w', w.size);
        EXPECT_EQ(q.GetWriteOffset(), w.writeOffset) << "after a block of " << w.size;
    }
    g_failSize = kBuf;  // no new buffer: a block written part way is taken back whole
    lumlib::SetReallocFn(&FailOneSize);
    EXPECT_FALSE(q.Write(400000, Pattern(400000, 0).data()));
    lumlib::SetReallocFn(nullptr);
    EXPECT_EQ(q.GetWriteOffset(), 10u);
    EXPECT_EQ(q.GetChainCount(), 4u);
    for (int i = 0; i < 7; ++i) { step('p', 0); step('r', 0); }  // the 7th finds the queue empty
    EXPECT_EQ(q.GetSpareCount(), 4u);  // the chain's buffers, back for reuse

    // small, medium, ending around a buffer's end, large, up to 200000
    const uint32_t limits[] = {64, 4096, 0, 40000, 200001}, weights[] = {35, 70, 80, 92, 100};
    for (int i = 0; i < 3000; ++i) {
        uint32_t op = rng() % 100, r = rng() % 100, k = 0;
        while (r >= weights[k]) ++k;
        step(op < 50 ? 'w' : op < 85 ? 'r' : 'p', limits[k] ? rng() % limits[k] : kBuf - 8 - rng() % 12);
        ASSERT_FALSE(HasFailure()) << "step " << i;
    }

    // a chain of 150 buffers emptied: at most the limit is kept, refills included
    for (int i = 0; i < 150; ++i) step('w', 32000);
    for (size_t n = model.size() + 1; n; --n) step('r', 0);
    EXPECT_EQ(q.GetSpareCount(), CBuffersList::kSpareLimit);
    q.AllocateNewBuffers(3);
    EXPECT_EQ(q.GetSpareCount(), CBuffersList::kSpareLimit);

    step('w', 250000);  // a block larger than the room given stays at the front
    uint64_t size = 0;
    std::vector<uint8_t> small(1000);
    EXPECT_FALSE(q.TakeFront(small.data(), small.size(), &size));
    EXPECT_EQ(q.GetNextSize(), 250000u);
    step('r', 0);
}
