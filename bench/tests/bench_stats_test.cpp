// The benchmark's estimators on made-up timings shaped like the ones measured
// under Wine: two modes (about 0.13 ms and 0.6-1 ms), shared by both variants.
#include "bench_stats.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// A fixed generator of its own, so the samples are the same on every compiler.
struct Lcg {
    uint32_t state;
    double Next() {  // [0, 1)
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 16777216.0;
    }
};

// Pairs taken under the same conditions: both calls of a pair usually land in the
// same mode; `slowShare` of the pairs are slow, `mixed` of them split. The first
// variant costs `factor` times the second.
void MakePairs(size_t n, double slowShare, double mixed, double factor, std::vector<double>& a,
               std::vector<double>& b, uint32_t seed) {
    Lcg rng{seed};
    for (size_t i = 0; i < n; ++i) {
        bool slow = rng.Next() < slowShare;
        bool split = rng.Next() < mixed;
        double base = slow ? 0.6 + 0.4 * rng.Next() : 0.13 + 0.01 * rng.Next();
        double other = split ? (slow ? 0.13 + 0.01 * rng.Next() : 0.6 + 0.4 * rng.Next()) : base;
        // Which of the two got the split alternates, as the calls alternate.
        double x = (i % 2) ? base : other, y = (i % 2) ? other : base;
        a.push_back(factor * x * (1.0 + 0.02 * (rng.Next() - 0.5)));
        b.push_back(y * (1.0 + 0.02 * (rng.Next() - 0.5)));
    }
}

TEST(BenchStats, PairedRatioHoldsWhereTheMedianFallsBetweenTheModes) {
    // Half the calls slow: a run median sits in the gap between the modes and
    // moves with a few calls more or less on either side.
    std::vector<double> a, b;
    MakePairs(5000, 0.5, 0.2, 1.0, a, b, 7);
    benchstats::Ratio r = benchstats::RatioOf(a, b);
    EXPECT_NEAR(r.paired, 1.0, 0.01);
    EXPECT_NEAR(r.low, 1.0, 0.02);
    EXPECT_NEAR(r.high, 1.0, 0.02);
    EXPECT_NEAR(r.trimmed, 1.0, 0.05);
}

TEST(BenchStats, PairedRatioFindsARealCost) {
    for (double share : {0.1, 0.5, 0.9}) {
        std::vector<double> a, b;
        MakePairs(4000, share, 0.2, 1.10, a, b, 11);
        EXPECT_NEAR(benchstats::RatioOf(a, b).paired, 1.10, 0.015) << "slow share " << share;
        std::vector<double> c, d;
        MakePairs(4000, share, 0.2, 0.90, c, d, 13);
        EXPECT_NEAR(benchstats::RatioOf(c, d).paired, 0.90, 0.015) << "slow share " << share;
    }
}

TEST(BenchStats, SlicesShowADriftThatTheWholeRunAverages) {
    std::vector<double> a, b;
    MakePairs(1000, 0.3, 0.1, 1.0, a, b, 3);
    MakePairs(1000, 0.3, 0.1, 1.2, a, b, 5);  // the second half: the first variant slower
    benchstats::Ratio r = benchstats::RatioOf(a, b, 2);
    EXPECT_NEAR(r.low, 1.0, 0.02);
    EXPECT_NEAR(r.high, 1.2, 0.02);
    EXPECT_GT(r.paired, r.low);
    EXPECT_LT(r.paired, r.high);
}

TEST(BenchStats, DegenerateInputs) {
    std::vector<double> none;
    EXPECT_EQ(benchstats::PairedRatio(none, none), 0.0);
    EXPECT_EQ(benchstats::RatioOf(none, none).paired, 0.0);
    EXPECT_EQ(benchstats::TrimmedMean(none, 0.05), 0.0);
    // A clock that did not move gives a zero time: left out, not a division by zero.
    std::vector<double> a = {0.0, 2.0, 4.0}, b = {1.0, 0.0, 2.0};
    EXPECT_DOUBLE_EQ(benchstats::PairedRatio(a, b), 2.0);
    // Unequal lengths: only the pairs count.
    std::vector<double> longer = {3.0, 3.0, 3.0, 100.0}, shorter = {1.0, 1.0, 1.0};
    EXPECT_DOUBLE_EQ(benchstats::PairedRatio(longer, shorter), 3.0);
    // Even count: the geometric middle, so swapping the variants inverts the ratio.
    std::vector<double> x = {1.0, 4.0}, y = {1.0, 1.0};
    EXPECT_DOUBLE_EQ(benchstats::PairedRatio(x, y), 2.0);
    EXPECT_DOUBLE_EQ(benchstats::PairedRatio(y, x), 0.5);
    // Trimming never empties the sample.
    EXPECT_DOUBLE_EQ(benchstats::TrimmedMean({5.0}, 0.5), 5.0);
    EXPECT_DOUBLE_EQ(benchstats::TrimmedMean({1.0, 2.0, 100.0}, 0.4), 2.0);
    // A stall of one call in twenty does not move the trimmed mean.
    std::vector<double> calm(100, 1.0);
    for (size_t i = 0; i < calm.size(); i += 20) calm[i] = 50.0;
    EXPECT_DOUBLE_EQ(benchstats::TrimmedMean(calm, 0.05), 1.0);
}

}  // namespace
