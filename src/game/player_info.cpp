#include "game/player_info.h"

#include <span>

#include "net/printable_text.h"

namespace karst {

std::string sanitizePlayerInfo(uint8_t* block) {
    const size_t length = sanitizeNameField(std::span(block, kPlayerNameSize), "Player");
    if (block[kPlayerNameSize] > kMaxCharacter) block[kPlayerNameSize] = 0;
    return std::string(reinterpret_cast<const char*>(block), length);
}

}  // namespace karst
