// Checks on movement records and events, and the shared spacing gate.
#include "game/player_state.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>

#include "net/coding.h"

namespace karst {
namespace {

using Record = std::array<uint8_t, kPlayerStateSize>;

Record recordWithFloat(size_t index, float value) {
    Record record{};
    putF32(record.data() + kStateFloatsOffset + 4 * index, value);
    return record;
}

TEST(PlayerStateRecord, FloatsAtTheLimitAreAccepted) {
    for (size_t i = 0; i < kStateFloatCount; ++i) {
        EXPECT_TRUE(stateFloatsValid(recordWithFloat(i, 1'000'000.0f))) << i;
        EXPECT_TRUE(stateFloatsValid(recordWithFloat(i, -1'000'000.0f))) << i;
    }
}

TEST(PlayerStateRecord, NonFiniteOrOversizedFloatIsRefusedInEverySlot) {
    const float refused[] = {std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(), 1'000'000.5f, -1'000'000.5f};
    for (size_t i = 0; i < kStateFloatCount; ++i)
        for (float value : refused) EXPECT_FALSE(stateFloatsValid(recordWithFloat(i, value))) << i;
}

TEST(PlayerStateRecord, TrailingFieldsAreNotChecked) {
    Record record{};
    // A NaN bit pattern in yaw, opaque word and time stamp is just data.
    for (size_t offset = kStateYawOffset; offset < kPlayerStateSize; offset += 4)
        putU32(record.data() + offset, 0x7FC00000);
    EXPECT_TRUE(stateFloatsValid(record));
}

TEST(PlayerEventCheck, KindAndValueLimits) {
    std::array<uint8_t, kPlayerEventSize> event{};
    putU32(event.data() + kEventValueOffset, kMaxEventValue);
    event[kEventKindOffset] = 1;
    EXPECT_TRUE(playerEventValid(event));
    event[kEventKindOffset] = 2;
    EXPECT_FALSE(playerEventValid(event));
    event[kEventKindOffset] = 0;
    putU32(event.data() + kEventValueOffset, kMaxEventValue + 1);
    EXPECT_FALSE(playerEventValid(event));
}

TEST(RateSlot, FirstReportPassesThenSpacingIsEnforced) {
    uint64_t last = 0;
    EXPECT_TRUE(claimRateSlot(last, 1'000, kPlayerStateSpacingNs));
    EXPECT_EQ(last, 1'000u);
    EXPECT_FALSE(claimRateSlot(last, 1'000 + kPlayerStateSpacingNs - 1, kPlayerStateSpacingNs));
    EXPECT_EQ(last, 1'000u) << "a dropped report must not move the reference time";
    EXPECT_TRUE(claimRateSlot(last, 1'000 + kPlayerStateSpacingNs, kPlayerStateSpacingNs));
    EXPECT_EQ(last, 1'000 + kPlayerStateSpacingNs);
}

TEST(RateSlot, TimeBeforeTheLastReportCountsAsTooSoon) {
    uint64_t last = 5 * kNsPerSecond;
    EXPECT_FALSE(claimRateSlot(last, kNsPerSecond, kPlayerEventSpacingNs));
    EXPECT_EQ(last, 5 * kNsPerSecond);
}

}  // namespace
}  // namespace karst
