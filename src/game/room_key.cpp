#include "game/room_key.h"

#include "net/coding.h"

#include <initializer_list>

namespace karst {

void encodeRoomKey(uint8_t* out, const RoomKey& key) {
    putI16(out, key.level);
    out[2] = static_cast<uint8_t>(key.act);
    out[3] = key.mission;
    putU32(out + 4, key.instance);
}

RoomKey decodeRoomKey(const uint8_t* in) {
    RoomKey key;
    key.level = getI16(in);
    key.act = getI8(in + 2);
    key.mission = in[3];
    key.instance = getU32(in + 4);
    return key;
}

bool isStageLevel(int16_t level) { return (level >= 1 && level <= 10) || level == 12; }

bool isGardenLevel(int16_t level) { return level >= 39 && level <= 41; }

bool isCentralPlaza(const RoomKey& key) { return key.level == 26 && key.act == 3; }

bool stageOpenToCharacter(int16_t level, uint8_t character) {
    if (!isStageLevel(level)) return true;
    // Bit n set: stage level n is open to the character.
    constexpr auto stages = [](std::initializer_list<int> levels) {
        uint16_t bits = 0;
        for (int level : levels) bits = static_cast<uint16_t>(bits | (1u << level));
        return bits;
    };
    static constexpr uint16_t kStagesByCharacter[7] = {
        stages({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), stages({2, 4, 6, 8, 9}),
        stages({4, 5, 6, 7, 9}),                 stages({3, 10, 12}),
        stages({1, 2, 5, 10, 12}),               stages({1, 3, 8, 12}),
        stages({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}),
    };
    if (character > 6) return false;
    return (kStagesByCharacter[character] >> level) & 1u;
}

}  // namespace karst
