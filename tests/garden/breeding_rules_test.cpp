// The breeding rules at the edges the loopback story does not reach: presence,
// rooms, NaN distances, a sender outside a garden and a cooldown ending now.
#include "garden/breeding_rules.h"

#include <gtest/gtest.h>

#include <cmath>

#include "garden/pibo_messages.h"
#include "net/coding.h"

namespace karst {
namespace {

constexpr RoomKey kGarden{39, 0, 0, 5};
constexpr uint64_t kNow = 1'700'000'000;
const ProfileKey kOwner{0xA};

PiboRecord readyCreature(uint64_t id, const ProfileKey& owner, float x) {
    PiboRecord record = makeFreshPiboRecord(id, owner);
    record.present = 1;
    record.room = kGarden;
    record.hasState = 1;
    record.breedReadyAt = kNow;  // a cooldown ending now is over
    putF32(record.lastState.data() + kPiboStateFloatsOffset, x);
    return record;
}

TEST(BreedingRules, AReadyPairBreedsAndEachRuleRefusesOnItsOwn) {
    using Change = void (*)(PiboRecord&, PiboRecord&, RoomKey&);
    const Change changes[] = {
        [](PiboRecord&, PiboRecord&, RoomKey&) {},
        [](PiboRecord& a, PiboRecord&, RoomKey&) { a.present = 0; },
        [](PiboRecord&, PiboRecord& b, RoomKey&) { b.room.instance = 6; },
        [](PiboRecord& a, PiboRecord&, RoomKey&) { a.breedReadyAt = kNow + 1; },
        [](PiboRecord&, PiboRecord& b, RoomKey&) {  // 12 along x and 0.5 along y is too far
            putF32(b.lastState.data() + kPiboStateFloatsOffset + 4, 0.5f);
        },
        [](PiboRecord&, PiboRecord& b, RoomKey&) {
            putF32(b.lastState.data() + kPiboStateFloatsOffset + 8, NAN);
        },
        [](PiboRecord& a, PiboRecord& b, RoomKey& sender) {
            a.room.level = b.room.level = sender.level = 26;  // not a garden
        },
    };
    for (size_t i = 0; i < std::size(changes); ++i) {
        PiboRecord first = readyCreature(11, kOwner, 0.0f);
        PiboRecord second = readyCreature(13, ProfileKey{0xB}, 12.0f);
        RoomKey sender = kGarden;
        changes[i](first, second, sender);
        EXPECT_EQ(mayBreed(&first, &second, kOwner, sender, kNow), i == 0) << "change " << i;
    }
    const PiboRecord lone = readyCreature(11, kOwner, 0.0f);
    EXPECT_FALSE(mayBreed(&lone, nullptr, kOwner, kGarden, kNow));
    EXPECT_FALSE(mayBreed(nullptr, &lone, kOwner, kGarden, kNow));
}

}  // namespace
}  // namespace karst
