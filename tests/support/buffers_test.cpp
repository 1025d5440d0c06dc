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
    };

    // Around a buffer's end: 7 bytes left (no room for a prefix), a block
    // ending exactly there, 8 bytes left (a prefix whose payload goes on).
    for (const uint32_t size : {kBuf - 15, 10u, kBuf - 26, 0u, kBuf - 24, 10u}) step('w', size);
    g_failSize = kBuf;  // no new buffer: a block written part way is taken back whole
    lumlib::SetReallocFn(&FailOneSize);
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
