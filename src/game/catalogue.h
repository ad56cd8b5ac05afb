// The game's constants, each stated once: the ring cap, the fruit kinds and
// their prices, the sizes of a player's name and colour, the bounds of a room
// key, the characters, and the id that excludes nobody from a broadcast. Any
// module that needs one includes this header, not the settings or the server.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace karst {

// Most rings a player can hold; every addition is clamped to it.
inline constexpr uint32_t kRingCap = 9'999'999;

// A player's name: ASCII, zero-padded; the last byte is always zero.
inline constexpr size_t kPlayerNameSize = 24;
using PlayerName = std::array<uint8_t, kPlayerNameSize>;
// Red, green, blue.
inline constexpr size_t kColourSize = 3;
using Colour = std::array<uint8_t, kColourSize>;
// Characters 0 to 6.
inline constexpr uint8_t kMaxCharacter = 6;
inline constexpr uint32_t kCharacterCount = kMaxCharacter + 1;

// Fruit codes 0 to 24; the server inventory counts each by its code.
inline constexpr size_t kFruitKinds = 25;
inline constexpr int8_t kMaxFruitCode = static_cast<int8_t>(kFruitKinds - 1);
using FruitInventory = std::array<uint16_t, kFruitKinds>;

// Rings a fruit costs in the shop; 0 for a fruit the shop does not sell.
constexpr uint32_t fruitPrice(int8_t code) {
    switch (code) {
        case 3:
        case 4: return 25;
        case 5:
        case 6: return 50;
        case 11: return 100;
        case 24: return 10;
        default: return 0;
    }
}

// A room key names level 0..255, act 0..7, mission 0..3.
inline constexpr int16_t kMaxLevel = 255;
inline constexpr int8_t kMaxAct = 7;
inline constexpr uint8_t kMaxMission = 3;

// Player ids start at 1, so a room broadcast "excluding" id 0 reaches everyone.
inline constexpr uint32_t kExcludeNobody = 0;

}  // namespace karst
