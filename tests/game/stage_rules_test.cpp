// The stateless stage rules: countdown arithmetic, places, rewards, the ring
// cap, purchases, and the bytes of the messages, read back through the client's
// independent parsers.
#include "game/stage_rules.h"

#include <gtest/gtest.h>

#include <limits>

#include "client/messages.h"
#include "net/clock.h"

namespace karst {
namespace {

TEST(StageRules, CountdownShowsWholeSecondsLeftAndCompletesAtThree) {
    const uint64_t start = 5 * kNsPerSecond;
    struct Case {
        uint64_t afterNs;
        uint32_t left;
        bool complete;
    };
    const Case cases[] = {{0, 3, false},
                          {kNsPerSecond - 1, 3, false},
                          {kNsPerSecond, 2, false},
                          {2 * kNsPerSecond + 999'999'999, 1, false},
                          {3 * kNsPerSecond, 0, true},
                          {3600 * kNsPerSecond, 0, true}};
    for (const Case& c : cases) {
        const int64_t elapsed = wholeSecondsSince(start + c.afterNs, start);
        EXPECT_EQ(countdownSecondsLeft(elapsed), c.left) << c.afterNs;
        EXPECT_EQ(countdownComplete(elapsed), c.complete) << c.afterNs;
    }
    // A start stamped after "now" has not begun, rather than counting from the far past.
    EXPECT_EQ(wholeSecondsSince(start - 2 * kNsPerSecond, start), 0);
    EXPECT_EQ(countdownSecondsLeft(-7), 3u);
}

TEST(StageRules, PlacesStopAt255AndRewardsFollowThePlace) {
    EXPECT_EQ(finishPlaceAfter(0), 1);
    EXPECT_EQ(finishPlaceAfter(253), 254);
    EXPECT_EQ(finishPlaceAfter(254), 255);
    EXPECT_EQ(finishPlaceAfter(255), 255);
    EXPECT_EQ(finishPlaceAfter(100'000), 255);
    EXPECT_EQ(finishReward(1), 100u);
    EXPECT_EQ(finishReward(2), 60u);
    EXPECT_EQ(finishReward(3), 30u);
    EXPECT_EQ(finishReward(4), 10u);
    EXPECT_EQ(finishReward(255), 10u);
}

TEST(StageRules, RingsNeverPassTheCap) {
    EXPECT_EQ(addRings(1000, 100), 1100u);
    EXPECT_EQ(addRings(9'999'950, 100), 9'999'999u);
    EXPECT_EQ(addRings(9'999'999, 10), 9'999'999u);
    EXPECT_EQ(addRings(std::numeric_limits<uint32_t>::max(), 100), 9'999'999u);
}

TEST(StageRules, PurchaseNeedsTheRingsAndRoomInTheSlot) {
    uint32_t rings = 150;
    uint16_t count = 0;
    EXPECT_TRUE(buyFruit(rings, count, 100));
    EXPECT_EQ(rings, 50u);
    EXPECT_EQ(count, 1);
    EXPECT_FALSE(buyFruit(rings, count, 100));
    EXPECT_TRUE(buyFruit(rings, count, 50));
    EXPECT_EQ(rings, 0u);

    uint32_t rich = 1000;
    uint16_t full = 65535;
    EXPECT_FALSE(buyFruit(rich, full, 25));
    EXPECT_EQ(rich, 1000u);
    EXPECT_EQ(full, 65535);
}

TEST(StageRules, RoomStatusBytes) {
    const auto bytes = encodeRoomStatus(0x10002, 3, 2, 3);
    EXPECT_EQ(bytes, (std::array<uint8_t, 8>{2, 0, 3, 0, 2, 3, 0, 0}));  // 16-bit count wraps
}

TEST(StageRules, StageMessagesReadBackThroughTheClientParsers) {
    const RoomKey room{12, 2, 3, 0xDEADBEEF};
    const auto start = client::decodeStageStart(encodeStageStart(room, 123456));
    ASSERT_TRUE(start);
    EXPECT_EQ(start->room, room);
    EXPECT_EQ(start->uptimeMs, 123456u);

    const auto ended = client::decodeStageEnded(encodeStageEnded(room));
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->room, room);
    EXPECT_EQ(ended->endCode, 5u);

    FinishReport report{7, 0xCAFEF00D, 10, 9'999'999, 257, 300, 255};
    const auto bytes = encodeStageFinishedResult(report);
    EXPECT_EQ(bytes[21] | bytes[22] | bytes[23], 0);
    const auto result = client::decodeStageFinishedResult(bytes);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->playerId, 7u);
    EXPECT_EQ(result->result, 0xCAFEF00Du);
    EXPECT_EQ(result->ringsAwarded, 10u);
    EXPECT_EQ(result->rings, 9'999'999u);
    EXPECT_EQ(result->finishedCount, 257);
    EXPECT_EQ(result->memberCount, 300);
    EXPECT_EQ(result->place, 255);

    EXPECT_EQ(encodeBuyFruitResult(11, true, 100, 50),
              (std::array<uint8_t, 8>{11, 1, 100, 0, 50, 0, 0, 0}));
}

}  // namespace
}  // namespace karst
