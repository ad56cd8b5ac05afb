#include "game/player_info.h"

#include <cstring>

#include "net/coding.h"

namespace karst {

std::string sanitizePlayerInfo(uint8_t* block) {
    block[kPlayerNameSize - 1] = 0;
    size_t length = 0;
    while (block[length] != 0) {
        if (block[length] < 0x20 || block[length] > 0x7E) block[length] = '_';
        ++length;
    }
    if (length == 0) {
        std::memset(block, 0, kPlayerNameSize);
        std::memcpy(block, "Player", 6);
        length = 6;
    }
    if (block[kPlayerNameSize] > kMaxCharacter) block[kPlayerNameSize] = 0;
    return std::string(reinterpret_cast<const char*>(block), length);
}

std::array<uint8_t, kPlayerInfoSize> encodePlayerInfo(uint32_t playerId,
                                                      const PlayerName& name,
                                                      uint8_t character,
                                                      const Colour& colour,
                                                      const RoomKey& room) {
    std::array<uint8_t, kPlayerInfoSize> out{};
    ByteWriter w(out);
    w.u32(playerId).bytes(name.data(), name.size()).u8(character).bytes(colour.data(), 3);
    encodeRoomKey(out.data() + w.position(), room);
    return out;
}

}  // namespace karst
