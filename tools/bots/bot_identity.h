// Who each bot is and where it plays: its profile key, character, colour and
// room, all derived from its index and the run's seed so that a repeated run
// reuses the same profiles instead of growing the server's profile store.
#pragma once

#include "bots/bot_options.h"
#include "client/game_facts.h"

#include <cstdint>

namespace karst::bots {

using client::ProfileKey;
using client::RoomKey;

// Non-zero, distinct per (seed, index) in practice (128 bits of a mixing hash).
ProfileKey botProfileKey(uint64_t seed, uint32_t index);
// The first character the level admits; hub worlds admit every character.
uint8_t botCharacter(int16_t level);
// Room r is instance r + 1 of the chosen level and act, mission 0; instance 0
// is left to people who join by hand.
RoomKey botRoomKey(const BotOptions& options, uint32_t roomIndex);

}  // namespace karst::bots
