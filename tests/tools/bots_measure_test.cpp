// The load generator's measuring parts: the sending side's copy of the relay
// gate and the latency histogram's percentiles.
#include "bots/latency_histogram.h"
#include "bots/record_stamp.h"

#include <gtest/gtest.h>

namespace karst::bots {
namespace {

TEST(RelayGateTracker, AnUncountedRecordDoesNotMoveTheReference) {
    // At 120 Hz (8.33 ms) every other record counts: 0, 16.7, 33.3 ms...
    RelayGateTracker gate;
    const uint64_t interval = 1'000'000'000 / 120;
    int counted = 0;
    for (uint64_t i = 0; i < 120; ++i) {
        if (gate.admits(i * interval)) {
            gate.markCounted(i * interval);
            ++counted;
        }
    }
    EXPECT_EQ(counted, 60);
}

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
}  // namespace karst::bots
