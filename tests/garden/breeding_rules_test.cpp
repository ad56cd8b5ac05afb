#include "garden/breeding_rules.h"

#include "garden/pibo_messages.h"
#include "net/coding.h"

#include <gtest/gtest.h>
#include <limits>

namespace karst {
namespace {

constexpr RoomKey kGarden{39, 0, 0, 5};
constexpr uint64_t kNow = 1'700'000'000;

ProfileKey keyFilledWith(uint8_t byte) {
    ProfileKey key;
    key.fill(byte);
    return key;
}

PiboRecord readyCreature(uint64_t id, uint8_t ownerByte, float x) {
    PiboRecord record = makeFreshPiboRecord(id, keyFilledWith(ownerByte));
    record.present = 1;
    record.room = kGarden;
    record.hasState = 1;
    putF32(record.lastState.data() + kPiboStateFloatsOffset, x);
    return record;
}

struct Pair {
    PiboRecord first = readyCreature(11, 0xA, 0.0f);
    PiboRecord second = readyCreature(13, 0xB, 12.0f);
    bool breeds(const RoomKey& room = kGarden) const {
        return mayBreed(&first, &second, keyFilledWith(0xA), room, kNow);
    }
};

TEST(BreedingRules, ReadyPairTwelveUnitsApartBreeds) { EXPECT_TRUE(Pair{}.breeds()); }

TEST(BreedingRules, EveryRuleRefusesOnItsOwn) {
    const auto refusedAfter = [](auto change) {
        Pair pair;
        change(pair);
        return !pair.breeds();
    };
    EXPECT_TRUE(refusedAfter([](Pair& p) { p.first.owner = keyFilledWith(0xC); }));
    EXPECT_TRUE(refusedAfter([](Pair& p) { p.second.stage = kPiboStageEgg; }));
    EXPECT_TRUE(refusedAfter([](Pair& p) { p.first.present = 0; }));
    EXPECT_TRUE(refusedAfter([](Pair& p) { p.second.hasState = 0; }));
    EXPECT_TRUE(refusedAfter([](Pair& p) { p.second.room.instance = 6; }));
    EXPECT_TRUE(refusedAfter([](Pair& p) { p.second.owner = p.first.owner; }));
    EXPECT_TRUE(refusedAfter([](Pair& p) { p.first.breedReadyAt = kNow + 1; }));
    EXPECT_TRUE(refusedAfter(
        [](Pair& p) { putF32(p.second.lastState.data() + kPiboStateFloatsOffset, 12.01f); }));
    EXPECT_TRUE(refusedAfter([](Pair& p) {
        putF32(p.second.lastState.data() + kPiboStateFloatsOffset + 8,
               std::numeric_limits<float>::quiet_NaN());
    }));
}

TEST(BreedingRules, CooldownEndingNowAllowsBreeding) {
    Pair pair;
    pair.first.breedReadyAt = kNow;
    pair.second.breedReadyAt = kNow;
    EXPECT_TRUE(pair.breeds());
}

TEST(BreedingRules, SenderOutsideAGardenOrMissingRecordNeverBreeds) {
    Pair pair;
    RoomKey hub = kGarden;
    hub.level = 26;
    pair.first.room = hub;
    pair.second.room = hub;
    EXPECT_FALSE(pair.breeds(hub));
    EXPECT_FALSE(mayBreed(&pair.first, nullptr, keyFilledWith(0xA), kGarden, kNow));
    EXPECT_FALSE(mayBreed(nullptr, &pair.second, keyFilledWith(0xA), kGarden, kNow));
}

TEST(BreedingRules, DistanceSumsAllThreeAxes) {
    Pair pair;
    putF32(pair.first.lastState.data() + kPiboStateFloatsOffset + 4, 3.0f);
    putF32(pair.first.lastState.data() + kPiboStateFloatsOffset + 8, 4.0f);
    EXPECT_FLOAT_EQ(squaredStateDistance(pair.first, pair.second), 144.0f + 9.0f + 16.0f);
}

}  // namespace
}  // namespace karst
