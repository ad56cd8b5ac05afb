// The spacing gate shared by movement records and events.
#include "game/player_state.h"

#include <gtest/gtest.h>

namespace karst {
namespace {

TEST(RateSlot, DroppedReportsAndEarlierTimesNeverMoveTheReference) {
    uint64_t last = 0;
    EXPECT_TRUE(claimRateSlot(last, 1'000, kPlayerStateSpacingNs));
    EXPECT_FALSE(claimRateSlot(last, 1'000 + kPlayerStateSpacingNs - 1, kPlayerStateSpacingNs));
    EXPECT_EQ(last, 1'000u);
    EXPECT_FALSE(claimRateSlot(last, 999, kPlayerStateSpacingNs));  // before the last: too soon
    EXPECT_EQ(last, 1'000u);
    EXPECT_TRUE(claimRateSlot(last, 1'000 + kPlayerStateSpacingNs, kPlayerStateSpacingNs));
    EXPECT_EQ(last, 1'000 + kPlayerStateSpacingNs);
}

}  // namespace
}  // namespace karst
