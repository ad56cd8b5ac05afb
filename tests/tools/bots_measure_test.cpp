// The load generator's latency histogram: nearest-rank percentiles, exact below
// 256 ns, within 1 % and never below the true value above.
#include "common/latency_histogram.h"

#include <gtest/gtest.h>

namespace karst::tools {
namespace {

TEST(LatencyHistogram, NearestRankOnExactValuesAndAnEmptyHistogram) {
    LatencyHistogram h;
    EXPECT_EQ(h.percentile(50), 0u);
    for (uint64_t v = 1; v <= 100; ++v) h.record(v);  // below 256: one bucket each
    const std::pair<double, uint64_t> expected[] = {{0, 1},     {50, 50},    {99, 99},
                                                    {99.5, 100}, {100, 100}, {33, 33}};
    for (const auto& [p, value] : expected) EXPECT_EQ(h.percentile(p), value) << p;
    EXPECT_DOUBLE_EQ(h.meanNs(), 50.5);
    LatencyHistogram few;
    for (uint64_t v : {10, 20, 30}) few.record(v);
    EXPECT_EQ(few.percentile(34), 20u);  // rank ceil(1.02) = 2
    EXPECT_EQ(few.percentile(33), 10u);  // rank ceil(0.99) = 1
}

TEST(LatencyHistogram, LargeValuesWithinOnePercentNeverBelowAndCappedByTheMaximum) {
    for (uint64_t v : {256ull, 1'000ull, 123'456ull, 987'654'321ull, (1ull << 43) + 12345}) {
        LatencyHistogram h;
        h.record(v);
        h.record(1);  // keeps the max from capping the answer for the lower sample
        h.record(v + v / 2);
        const uint64_t p50 = h.percentile(50);
        EXPECT_GE(p50, v) << v;
        EXPECT_LE(static_cast<double>(p50), static_cast<double>(v) * 1.01) << v;
        EXPECT_EQ(h.percentile(100), v + v / 2) << v;
    }
    LatencyHistogram huge;
    huge.record(~0ull);
    EXPECT_EQ(huge.percentile(50), ~0ull);
}

}  // namespace
}  // namespace karst::tools
