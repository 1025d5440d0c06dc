#include <gtest/gtest.h>

#include <set>

#include "virt/api/SndCodes.h"

TEST(SndErrorToStatus, ConvertsEveryListedCode) {
    const struct { uint32_t error, status; } cases[] = {
        {0, 0},     {8, 2},     {14, 2},     {122, 3},    {87, 4},    {259, 5},   {1168, 5},
        {1248, 5},  {21, 6},    {183, 7},    {5, 8},      {6701, 10}, {8398, 11}, {2250, 20},
        // Unlisted codes are general failures, including the stop code 1460.
        {1460, 1},  {1, 1},     {6, 1},      {109, 1},    {233, 1},   {1223, 1},  {1236, 1},
        {2251, 1},  {0xFFFFFFFFu, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.status, SndErrorToStatus(c.error)) << "error " << c.error;
}

TEST(SndErrorToStatus, NeverProducesReservedStatuses) {
    std::set<uint32_t> seen;
    for (uint32_t e = 0; e < 20000; ++e) seen.insert(SndErrorToStatus(e));
    EXPECT_EQ((std::set<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 20}), seen);
}
