// The arithmetic behind the accuracy tables: known rankings in, known figures out.
#include "qxvisor/ranking.h"

#include <gtest/gtest.h>

TEST(Ranking, TallyOfKnownRankings) {
    const struct {
        const char* codes;
        const char* truth;
        int rank;
    } recognitions[] = {
        {"1001,1002,", "1001", 1},                // first
        {"1002,1001,1003,", "1001", 2},           // second: top-5 only
        {"1,2,3,4,1001,", "1001", 5},             // fifth: still top-5
        {"1,2,3,4,5,1001,", "1001", 6},           // sixth: neither
        {"1002,1003,", "1001", 0},                // absent
        {"", "1001", 0},                          // nothing offered
        {"10010,1001,", "1001", 2},               // a code is matched whole, not as a prefix
        {"1002,", "", 0},                         // a kind never learned: no right code
    };
    RankTally tally;
    for (const auto& r : recognitions) EXPECT_EQ(tally.count(r.codes, r.truth), r.rank) << r.codes;
    EXPECT_EQ(tally.queries, 8);
    EXPECT_EQ(tally.top1, 1);
    EXPECT_EQ(tally.top5, 4);
    EXPECT_EQ(tally.empty, 1);
    EXPECT_EQ(tally.codes_shown, 2 + 3 + 5 + 6 + 2 + 0 + 2 + 1);
    EXPECT_DOUBLE_EQ(tally.top1_percent(), 12.5);
    EXPECT_DOUBLE_EQ(tally.top5_percent(), 50.0);
    EXPECT_DOUBLE_EQ(tally.empty_percent(), 12.5);
    EXPECT_DOUBLE_EQ(tally.mean_codes_shown(), 21.0 / 8);

    RankTally sum = tally;
    sum.add(tally);
    EXPECT_EQ(sum.queries, 16);
    EXPECT_DOUBLE_EQ(sum.top5_percent(), 50.0);
    EXPECT_EQ(RankTally().top1_percent(), 0.0);  // no query: no division by zero
    EXPECT_EQ(RankTally().mean_codes_shown(), 0.0);
}

TEST(Ranking, SpreadOfGalleries) {
    const Spread one = spread_of({60.0});
    EXPECT_DOUBLE_EQ(one.mean, 60.0);
    EXPECT_DOUBLE_EQ(one.sd, 0.0);
    const Spread four = spread_of({58.0, 60.0, 62.0, 64.0});
    EXPECT_DOUBLE_EQ(four.mean, 61.0);
    EXPECT_NEAR(four.sd, 2.5819889, 1e-6);  // sample standard deviation: sqrt(20 / 3)
    EXPECT_DOUBLE_EQ(four.min, 58.0);
    EXPECT_DOUBLE_EQ(four.max, 64.0);
    EXPECT_DOUBLE_EQ(spread_of({}).mean, 0.0);
}
