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

}  // namespace karst
