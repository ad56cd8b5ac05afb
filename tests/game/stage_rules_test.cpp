// The stateless stage rules at the edges a loopback run does not reach:
// countdown arithmetic, the last place, ring overflow and a full fruit slot.
#include "game/stage_rules.h"

#include <gtest/gtest.h>

#include <limits>

#include "net/clock.h"

namespace karst {
namespace {

TEST(StageRules, CountdownShowsWholeSecondsLeftAndCompletesAtThree) {
    const uint64_t start = 5 * kNsPerSecond;
    const std::pair<uint64_t, uint32_t> cases[] = {{0, 3},
                                                   {kNsPerSecond - 1, 3},
                                                   {kNsPerSecond, 2},
                                                   {2 * kNsPerSecond + 999'999'999, 1},
                                                   {3 * kNsPerSecond, 0},
                                                   {3600 * kNsPerSecond, 0}};
    for (const auto& [afterNs, left] : cases) {
        const int64_t elapsed = wholeSecondsSince(start + afterNs, start);
        EXPECT_EQ(countdownSecondsLeft(elapsed), left) << afterNs;
        EXPECT_EQ(countdownComplete(elapsed), left == 0) << afterNs;
    }
    // A start stamped after "now" has not begun, rather than counting from the far past.
    EXPECT_EQ(wholeSecondsSince(start - 2 * kNsPerSecond, start), 0);
}

TEST(StageRules, PlacesStopAt255RingsAtTheCapAndFullSlotsRefuseFruit) {
    EXPECT_EQ(finishPlaceAfter(254), 255);
    EXPECT_EQ(finishPlaceAfter(100'000), 255);
    EXPECT_EQ(finishReward(255), 10u);
    EXPECT_EQ(addRings(std::numeric_limits<uint32_t>::max(), 100), 9'999'999u);

    uint32_t rings = 1000;
    uint16_t full = 65535;
    EXPECT_FALSE(buyFruit(rings, full, 25));
    EXPECT_EQ(rings, 1000u);
    EXPECT_EQ(full, 65535);
}

}  // namespace
}  // namespace karst
