// The sibling egg: a waiting egg whose data mixes one fixed block of both
// parents', drawn from a generator seeded by egg id and time.
#include "garden/pibo_egg.h"

#include <gtest/gtest.h>

#include <string>

namespace karst {
namespace {

constexpr uint64_t kNow = 1'700'000'000;
const ProfileKey kOwner{9, 9, 9};

PiboRecord parentWithPattern(uint64_t id, uint8_t pattern, uint8_t copiedByte) {
    PiboRecord parent = makeFreshPiboRecord(id, ProfileKey{pattern});
    parent.data.fill(pattern);
    parent.data[kPiboTypeOffset] = 7;
    parent.data[kPiboCopiedByteOffset] = copiedByte;
    return parent;
}

PiboRecord eggAt(uint64_t now) {
    return makeSiblingEgg(kFirstServerPiboId, kOwner, parentWithPattern(0x101, 0xAA, 0x12),
                          parentWithPattern(0x203, 0x55, 0x34), 0x101, 0x203, now);
}

// Reference bits computed independently with a separate MT19937-64 implementation
// seeded with egg id XOR time: lowest bit 1 takes the own parent's byte.
TEST(SiblingEgg, WaitingEggWhoseDataMixesOnlyTheInheritedBlockAsTheSeededDrawsSay) {
    // Id, owner, parents and name reach the owners over loopback (breeding_test).
    const PiboRecord egg = eggAt(kNow);
    EXPECT_EQ(egg.stage, kPiboStageEgg);
    EXPECT_EQ(egg.localSlot, kNoLocalSlot);
    EXPECT_EQ(egg.pendingDelivery, 1);
    const std::string bits = "0101110111011001";
    for (size_t i = 0; i < kPiboDataSize; ++i) {
        const size_t k = i - kInheritedBlockOffset;
        if (i == kPiboTypeOffset) {
            EXPECT_EQ(egg.data[i], kPiboTypeEgg);
        } else if (i == kPiboCopiedByteOffset) {
            EXPECT_EQ(egg.data[i], 0x12);  // from the owner's own parent
        } else if (i < kInheritedBlockOffset || k >= kInheritedBlockSize) {
            EXPECT_EQ(egg.data[i], 0) << i;
        } else if (k < bits.size()) {
            EXPECT_EQ(egg.data[i], bits[k] == '1' ? 0xAA : 0x55) << i;
        } else {
            EXPECT_TRUE(egg.data[i] == 0xAA || egg.data[i] == 0x55) << i;
        }
    }
    EXPECT_EQ(eggAt(kNow).data, egg.data);
    EXPECT_NE(eggAt(kNow + 1).data, egg.data);
}

}  // namespace
}  // namespace karst
