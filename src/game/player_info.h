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
// byte 23 forced to 0, bytes before the first zero outside 0x20..0x7E become
// '_', an empty name becomes "Player", a character above 6 becomes 0. Bytes after
// the name's first zero stay as received.
std::string sanitizePlayerInfo(uint8_t* block);

}  // namespace karst
