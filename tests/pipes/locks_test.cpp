// The in-process locks and the data-ready signal under racing pushers: a
// worker that drains the queue between bursts must neither miss a wake-up
// nor see a block torn or out of its pusher's order.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "pipes/TransferBuffer.h"

namespace {

struct Counter : CTransferBuffer {
    ~Counter() override { StopTransfer(1); }
    uint32_t Process(const uint8_t* data, uint64_t size, uint32_t) override {
        uint32_t item[2];
        if (size != sizeof(item)) return ++torn, 0;
        std::memcpy(item, data, sizeof(item));
        if (item[1] != next[item[0]]++) ++misordered;
        return 1;
    }
    uint32_t next[2] = {0, 0};
    int torn = 0, misordered = 0;
};

}  // namespace

TEST(Locks, RacingPushersLoseNoWakeUpAndKeepOrder) {
    const uint32_t kEach = 3000;
    Counter sink;
    std::vector<std::thread> pushers;
    for (uint32_t id = 0; id < 2; ++id) {
        pushers.emplace_back([&sink, id] {
            for (uint32_t seq = 0; seq < kEach; ++seq) {
                const uint32_t item[2] = {id, seq};
                ASSERT_EQ(sink.Push(item, sizeof(item)), 1u);
                if (seq % 64 == 0) ::Sleep(1);  // let the worker empty the queue
            }
        });
    }
    for (auto& t : pushers) t.join();
    sink.StopTransfer(0);  // drains: every block must arrive
    EXPECT_EQ(sink.next[0], kEach);
    EXPECT_EQ(sink.next[1], kEach);
    EXPECT_EQ(sink.torn, 0);
    EXPECT_EQ(sink.misordered, 0);
}
