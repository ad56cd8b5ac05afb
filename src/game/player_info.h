// How a player is described to others: name cleaning and the PlayerInfo layout.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "game/catalogue.h"
#include "game/room_key.h"
#include "net/client_messages.h"
#include "net/server_messages.h"
#include "net/protocol.h"

namespace karst {

// Cleans a 28-byte name/character/colour block in place and returns the name:
// the name as sanitizeNameField (net/printable_text.h) leaves it, "Player" when
// empty, and a character above kMaxCharacter becomes 0.
std::string sanitizePlayerInfo(uint8_t* block);

}  // namespace karst
