// What a client knows of the game besides the layouts, as docs/protocol.md
// and docs/files.md state it: the room key and where a level leads, the
// profile key, which stages a character may play, how a local Pibo's id is
// derived, and the limits a client can see in the server's answers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace karst::client {

inline constexpr size_t kRoomKeySize = 8;

// Where a player is. A connection starts in no room: level -1, act -1.
struct RoomKey {
    int16_t level = -1;
    int8_t act = -1;
    uint8_t mission = 0;
    uint32_t instance = 0;

    friend bool operator==(const RoomKey&, const RoomKey&) = default;
    bool inRoom() const { return level >= 0; }
};

inline constexpr RoomKey kNoRoom{};

// Stages are levels 1 to 10 and 12, gardens 39 to 41; every other level is a hub world.
bool isStageLevel(int16_t level);
bool isGardenLevel(int16_t level);
// Hub worlds admit every character, each stage only some.
bool stageOpenToCharacter(int16_t level, uint8_t character);
inline constexpr uint8_t kCharacterCount = 7;

inline constexpr size_t kProfileKeySize = 16;
using ProfileKey = std::array<uint8_t, kProfileKeySize>;
inline constexpr size_t kColourSize = 3;
using Colour = std::array<uint8_t, kColourSize>;

inline constexpr uint32_t kRingCap = 9'999'999;
inline constexpr size_t kFruitCodes = 25;  // codes 0..24 in the profile record

// The Pibo garden.
inline constexpr uint8_t kLocalSlotCount = 24;
inline constexpr size_t kPiboTypeOffset = 128;  // the creature type's byte in its data
inline constexpr uint8_t kPiboTypeEgg = 1;
inline constexpr uint8_t kMaxPiboType = 25;
inline constexpr uint8_t kPiboStageEgg = 1;
inline constexpr uint8_t kPiboStageHatched = 2;
inline constexpr uint8_t kNoLocalSlot = 255;

// The id a client registers the creature of local slot `slot` under.
uint64_t derivePiboId(const ProfileKey& key, uint8_t slot);

}  // namespace karst::client
