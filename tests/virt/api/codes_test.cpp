#include <gtest/gtest.h>

#include <map>

#include "virt/api/SndCodes.h"

TEST(SndErrorToStatus, ConvertsEveryListedCodeAndGivesGeneralFailureForAnyOther) {
    const std::map<uint32_t, uint32_t> listed = {
        {0, 0},    {8, 2},   {14, 2},    {122, 3},   {87, 4},    {259, 5},  {1168, 5},
        {1248, 5}, {21, 6},  {183, 7},   {5, 8},     {6701, 10}, {8398, 11}, {2250, 20}};
    for (uint32_t e = 0; e < 20000; ++e)
        ASSERT_EQ(listed.count(e) != 0 ? listed.at(e) : 1u, SndErrorToStatus(e)) << "error " << e;
    // Among the unlisted: the stop code, and the largest code.
    for (uint32_t e : {1460u, 0xFFFFFFFFu}) EXPECT_EQ(1u, SndErrorToStatus(e)) << "error " << e;
}
