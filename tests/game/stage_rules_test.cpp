// The stateless stage rules at the edges a loopback run does not reach: a
// countdown stamped in the future, the last place, ring overflow, a full slot.
#include "game/stage_rules.h"

#include <gtest/gtest.h>

#include <limits>

#include "net/clock.h"

namespace karst {
namespace {

TEST(StageRules, EdgesStayInRange) {
    const uint64_t start = 5 * kNsPerSecond;
    EXPECT_EQ(countdownSecondsLeft(wholeSecondsSince(start + kNsPerSecond - 1, start)), 3u);
    EXPECT_TRUE(countdownComplete(wholeSecondsSince(start + 3600 * kNsPerSecond, start)));
    // A start stamped after "now" has not begun, rather than counting from the far past.
    EXPECT_EQ(wholeSecondsSince(start - 2 * kNsPerSecond, start), 0);
    EXPECT_EQ(finishPlaceAfter(254), 255);
    EXPECT_EQ(finishPlaceAfter(100'000), 255);
    EXPECT_EQ(finishReward(255), 10u);
    EXPECT_EQ(addRings(std::numeric_limits<uint32_t>::max(), 100), 9'999'999u);
    uint32_t rings = 24;
    uint16_t count = 65534;
    EXPECT_FALSE(buyFruit(rings, count, 25));  // one ring short
    ++rings;
    EXPECT_TRUE(buyFruit(rings, count, 25));  // the last fruit that fits, with every ring
    EXPECT_EQ(rings, 0u);
    rings = 1000;
    EXPECT_FALSE(buyFruit(rings, count, 25));
    EXPECT_EQ(rings, 1000u);
    EXPECT_EQ(count, 65535);
}

}  // namespace
}  // namespace karst
