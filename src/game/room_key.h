// The place of the game a player is at: level, act, mission and instance.
//
// The same 8 bytes travel on the wire (level i16, act i8, mission u8,
// instance u32, little-endian). A negative level means "in no room"; every
// connection starts there, so all players in no room share one key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace karst {

inline constexpr size_t kRoomKeySize = 8;

struct RoomKey {
    int16_t level = -1;
    int8_t act = -1;
    uint8_t mission = 0;
    uint32_t instance = 0;

    friend bool operator==(const RoomKey&, const RoomKey&) = default;
    bool inRoom() const { return level >= 0; }
};

inline constexpr RoomKey kNoRoom{};

void encodeRoomKey(uint8_t* out, const RoomKey& key);
RoomKey decodeRoomKey(const uint8_t* in);

// Action stages: levels 1..10 and 12. Every other level is a hub world.
bool isStageLevel(int16_t level);
// The Pibo gardens: levels 39, 40 and 41.
bool isGardenLevel(int16_t level);
// Level 26, act 3, any mission and instance: the hub with proxy players.
bool isCentralPlaza(const RoomKey& key);
// Whether `character` may enter stage `level`; hub worlds are open to all.
bool stageOpenToCharacter(int16_t level, uint8_t character);

struct RoomKeyHash {
    size_t operator()(const RoomKey& key) const noexcept {
        const uint64_t packed = (static_cast<uint64_t>(static_cast<uint16_t>(key.level)) << 48) |
                                (static_cast<uint64_t>(static_cast<uint8_t>(key.act)) << 40) |
                                (static_cast<uint64_t>(key.mission) << 32) | key.instance;
        return std::hash<uint64_t>{}(packed * 0x9E3779B97F4A7C15ull);
    }
};

}  // namespace karst
