#include "client/game_facts.h"

#include <algorithm>
#include <initializer_list>

namespace karst::client {

bool isStageLevel(int16_t level) { return (level >= 1 && level <= 10) || level == 12; }

bool isGardenLevel(int16_t level) { return level >= 39 && level <= 41; }

bool stageOpenToCharacter(int16_t level, uint8_t character) {
    if (!isStageLevel(level)) return true;
    const auto among = [level](std::initializer_list<int16_t> levels) {
        return std::find(levels.begin(), levels.end(), level) != levels.end();
    };
    switch (character) {
        case 0:
        case 6: return level <= 10;
        case 1: return among({2, 4, 6, 8, 9});
        case 2: return among({4, 5, 6, 7, 9});
        case 3: return among({3, 10, 12});
        case 4: return among({1, 2, 5, 10, 12});
        case 5: return among({1, 3, 8, 12});
        default: return false;
    }
}

// 64-bit FNV-1a over the key and the slot as a little-endian u64; then bit 63
// cleared (the server's own eggs have it set) and bit 0 set.
uint64_t derivePiboId(const ProfileKey& key, uint8_t slot) {
    constexpr uint64_t kOffsetBasis = 0xCBF29CE484222325ull;
    constexpr uint64_t kPrime = 0x100000001B3ull;
    uint64_t hash = kOffsetBasis;
    const auto mix = [&hash](uint8_t byte) {
        hash ^= byte;
        hash *= kPrime;
    };
    for (uint8_t byte : key) mix(byte);
    mix(slot);
    for (int i = 1; i < 8; ++i) mix(0);
    return (hash & ~(uint64_t{1} << 63)) | 1;
}

}  // namespace karst::client
