#include "garden/pibo_egg.h"

#include <gtest/gtest.h>
#include <string>

namespace karst {
namespace {

constexpr uint64_t kEggId = kFirstServerPiboId;
constexpr uint64_t kNow = 1'700'000'000;

PiboRecord parentWithPattern(uint64_t id, uint8_t pattern, uint8_t copiedByte) {
    PiboRecord parent = makeFreshPiboRecord(id, ProfileKey{pattern});
    parent.data.fill(pattern);
    parent.data[kPiboTypeOffset] = 7;
    parent.data[kPiboCopiedByteOffset] = copiedByte;
    return parent;
}

const PiboRecord kOwnParent = parentWithPattern(0x101, 0xAA, 0x12);
const PiboRecord kOtherParent = parentWithPattern(0x203, 0x55, 0x34);
const ProfileKey kOwner{9, 9, 9};

PiboRecord eggAt(uint64_t now) {
    return makeSiblingEgg(kEggId, kOwner, kOwnParent, kOtherParent, 0x101, 0x203, now);
}

TEST(SiblingEgg, IsAWaitingEggOfTheGivenOwner) {
    const PiboRecord egg = eggAt(kNow);
    EXPECT_EQ(egg.id, kEggId);
    EXPECT_EQ(egg.owner, kOwner);
    EXPECT_EQ(egg.parentA, 0x101u);
    EXPECT_EQ(egg.parentB, 0x203u);
    EXPECT_EQ(egg.stage, kPiboStageEgg);
    EXPECT_EQ(egg.localSlot, kNoLocalSlot);
    EXPECT_EQ(egg.pendingDelivery, 1);
    EXPECT_EQ(egg.lastState, emptyPiboState());
    const std::array<uint8_t, kPiboNameSize> name{'S', 'i', 'b', 'l', 'i', 'n',
                                                  'g', ' ', 'E', 'g', 'g'};
    EXPECT_EQ(egg.name, name);
}

TEST(SiblingEgg, DataMixesOnlyTheInheritedBlock) {
    const PiboRecord egg = eggAt(kNow);
    EXPECT_EQ(egg.data[kPiboTypeOffset], kPiboTypeEgg);
    EXPECT_EQ(egg.data[kPiboCopiedByteOffset], 0x12);
    size_t fromOwn = 0, fromOther = 0;
    for (size_t i = 0; i < kPiboDataSize; ++i) {
        if (i == kPiboTypeOffset || i == kPiboCopiedByteOffset) continue;
        if (i < kInheritedBlockOffset || i >= kInheritedBlockOffset + kInheritedBlockSize) {
            EXPECT_EQ(egg.data[i], 0) << i;
            continue;
        }
        if (egg.data[i] == 0xAA) ++fromOwn;
        if (egg.data[i] == 0x55) ++fromOther;
    }
    EXPECT_EQ(fromOwn + fromOther, kInheritedBlockSize);
    EXPECT_GT(fromOwn, 0u);
    EXPECT_GT(fromOther, 0u);
}

// Reference bits computed independently with a separate MT19937-64 implementation
// seeded with egg id XOR time: lowest bit 1 takes the own parent's byte.
TEST(SiblingEgg, InheritanceFollowsTheSeededDraws) {
    const std::string bits = "0101110111011001";
    const PiboRecord egg = eggAt(kNow);
    for (size_t k = 0; k < bits.size(); ++k)
        EXPECT_EQ(egg.data[kInheritedBlockOffset + k], bits[k] == '1' ? 0xAA : 0x55) << k;
}

TEST(SiblingEgg, SameIdAndTimeGiveSameEggAnotherTimeDiffers) {
    EXPECT_EQ(eggAt(kNow).data, eggAt(kNow).data);
    EXPECT_NE(eggAt(kNow).data, eggAt(kNow + 1).data);
}

}  // namespace
}  // namespace karst
