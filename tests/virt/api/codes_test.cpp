#include <gtest/gtest.h>

#include "virt/api/SndCodes.h"

// What reaches the shared log of a story that repeats: the first occurrence and each change of kind
// (at most kBurst a period), then one summary a period; Reset starts a new story.
TEST(CLogThrottle, OneLinePerChangeThenOneSummaryAMinute) {
    CLogThrottle t;
    const uint64_t minute = CLogThrottle::kPeriodMs, start = 5000000;
    const struct { uint64_t kind, at; CLogThrottle::Verdict verdict; } steps[] = {
        {2, start, CLogThrottle::kLine},       {2, start + 1000, CLogThrottle::kQuiet},
        {231, start + 2000, CLogThrottle::kLine}, {231, start + minute, CLogThrottle::kQuiet},
        {231, start + 2000 + minute, CLogThrottle::kSummary}, {231, start + 3000 + minute, CLogThrottle::kQuiet},
    };
    for (const auto& s : steps) EXPECT_EQ(s.verdict, t.Note(s.kind, s.at)) << s.kind << " at " << s.at - start;
    EXPECT_EQ(6u, t.Count()) << "occurrences of the story";
    EXPECT_EQ(3000 + minute, t.Since(start + 3000 + minute)) << "the story's age";
    // A caller alternating between two failures: kBurst lines, then quiet until the minute is over.
    uint32_t lines = 0;
    for (uint64_t k = 0; k < 1000; ++k) lines += t.Note(k % 2, start + 2 * minute + k) == CLogThrottle::kLine;
    EXPECT_EQ(CLogThrottle::kBurst, lines) << "lines for two alternating failures";
    // Reset starts a new story, but the minute's budget stays: alternating success and failure cannot
    // flood either.
    t.Reset();
    EXPECT_EQ(CLogThrottle::kQuiet, t.Note(1, start + 2 * minute + 2000)) << "after a reset, within the spent minute";
    t.Reset();
    EXPECT_EQ(CLogThrottle::kLine, t.Note(1, start + 3 * minute)) << "after a reset, in the next minute";
    EXPECT_EQ(1u, t.Count()) << "occurrences of the new story";
}
