#include "garden/pibo_messages.h"

#include "net/coding.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace karst {
namespace {

using Name = std::array<uint8_t, kPiboNameSize>;

Name nameOf(const std::string& text) {
    Name name{};
    for (size_t i = 0; i < text.size() && i < name.size(); ++i)
        name[i] = static_cast<uint8_t>(text[i]);
    return name;
}

std::string textOf(const Name& name) {
    return std::string(name.begin(), std::find(name.begin(), name.end(), 0));
}

TEST(PiboName, SixteenPrintableCharactersKeepFifteen) {
    Name name = nameOf("ABCDEFGHIJKLMNOP");
    sanitizePiboName(name);
    EXPECT_EQ(textOf(name), "ABCDEFGHIJKLMNO");
}

TEST(PiboName, ControlAndHighBytesBecomeUnderscoresBeforeTheFirstNul) {
    Name name = nameOf("\tA\x7f");
    name[5] = 0x01;  // after the terminator: left as it is
    sanitizePiboName(name);
    EXPECT_EQ(textOf(name), "_A_");
    EXPECT_EQ(name[5], 0x01);
}

TEST(PiboName, EmptyNameBecomesPiboWithZeroPadding) {
    Name name{};
    name[3] = 'x';
    sanitizePiboName(name);
    EXPECT_EQ(name, nameOf("Pibo"));
}

std::array<uint8_t, kPiboRegisterSize> registerPayload(uint8_t slot, uint8_t stage, uint8_t type) {
    std::array<uint8_t, kPiboRegisterSize> payload{};
    putU64(payload.data(), 0x1234567890ABCDEFull);
    encodeRoomKey(payload.data() + kRegisterRoomOffset, RoomKey{40, 2, 1, 77});
    payload[kRegisterSlotOffset] = slot;
    payload[kRegisterStageOffset] = stage;
    payload[kRegisterNameOffset] = 'Q';
    payload[kRegisterDataOffset + kPiboTypeOffset] = type;
    payload[kRegisterDataOffset + kPiboDataSize - 1] = 0xEE;
    return payload;
}

TEST(PiboRegisterLayout, DecodesEveryFieldAtItsOffset) {
    const auto payload = registerPayload(23, kPiboStageHatched, 7);
    const PiboRegisterRequest request = decodePiboRegister(payload);
    EXPECT_EQ(request.id, 0x1234567890ABCDEFull);
    EXPECT_EQ(request.room, (RoomKey{40, 2, 1, 77}));
    EXPECT_EQ(request.localSlot, 23);
    EXPECT_EQ(request.stage, kPiboStageHatched);
    EXPECT_EQ(request.name[0], 'Q');
    EXPECT_EQ(request.data[kPiboTypeOffset], 7);
    EXPECT_EQ(request.data[kPiboDataSize - 1], 0xEE);
}

TEST(PiboRegisterLayout, ConsistencyNeedsSlotTypeAndMatchingStage) {
    auto consistent = [](uint8_t slot, uint8_t stage, uint8_t type) {
        const auto payload = registerPayload(slot, stage, type);
        return isConsistentRegistration(decodePiboRegister(payload));
    };
    EXPECT_TRUE(consistent(0, kPiboStageEgg, 1));
    EXPECT_TRUE(consistent(23, kPiboStageHatched, 25));
    EXPECT_FALSE(consistent(24, kPiboStageHatched, 5));
    EXPECT_FALSE(consistent(0, kPiboStageHatched, 0));
    EXPECT_FALSE(consistent(0, kPiboStageHatched, 26));
    EXPECT_FALSE(consistent(0, kPiboStageHatched, 1));  // an egg must say stage 1
    EXPECT_FALSE(consistent(0, kPiboStageEgg, 5));      // a hatched type must say stage 2
}

TEST(PiboStateFloats, FiniteValuesUpToOneMillionPass) {
    std::array<uint8_t, kPiboStateSize> state{};
    for (size_t i = 0; i < kPiboStateFloatCount; ++i)
        putF32(state.data() + kPiboStateFloatsOffset + 4 * i, i % 2 ? -1'000'000.0f : 1'000'000.0f);
    EXPECT_TRUE(hasValidPiboStateFloats(state));
}

TEST(PiboStateFloats, AnyNanInfinityOrLargeValueFails) {
    for (const float bad : {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(), -1'000'001.0f}) {
        for (size_t i = 0; i < kPiboStateFloatCount; ++i) {
            std::array<uint8_t, kPiboStateSize> state{};
            putF32(state.data() + kPiboStateFloatsOffset + 4 * i, bad);
            EXPECT_FALSE(hasValidPiboStateFloats(state)) << "float " << i << " = " << bad;
        }
    }
}

TEST(PiboReplies, PinnedBytes) {
    std::array<uint8_t, kPiboFeedSize> request{9, 9, 9, 9, 0x22, 0, 0, 0, 3, 0xA, 0xB, 0xC};
    EXPECT_EQ(encodePiboFeedEcho(0x07, request),
              (std::array<uint8_t, kPiboFeedSize>{7, 0, 0, 0, 0x22, 0, 0, 0, 3, 0xA, 0xB, 0xC}));

    const auto result = encodePiboInteractResult(0x0102, 0x0304, 6, PiboInteractCode::InvalidActor);
    EXPECT_EQ(getU64(result.data()), 0x0102u);
    EXPECT_EQ(getU64(result.data() + 8), 0x0304u);
    EXPECT_EQ(result[16], 6);
    EXPECT_EQ(result[17], 0);  // not allowed
    EXPECT_EQ(getU16(result.data() + 18), 2);
    EXPECT_EQ(encodePiboInteractResult(1, 2, 1, PiboInteractCode::Allowed)[17], 1);

    const auto bred = encodePiboBred({11, 13, 0x8000000000000001ull, 0x8000000000000003ull, 7, 8});
    EXPECT_EQ(getU64(bred.data()), 11u);
    EXPECT_EQ(getU64(bred.data() + 8), 13u);
    EXPECT_EQ(getU64(bred.data() + 16), 0x8000000000000001ull);
    EXPECT_EQ(getU64(bred.data() + 24), 0x8000000000000003ull);
    EXPECT_EQ(getU32(bred.data() + 32), 7u);
    EXPECT_EQ(getU32(bred.data() + 36), 8u);
}

}  // namespace
}  // namespace karst
