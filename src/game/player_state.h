// The movement record and the player event as the server checks them, and the
// per-player spacing rule that limits how often either is relayed.
//
// Offsets are within the 48-byte PlayerStateRecord and the 16-byte PlayerEvent
// payload; all fields are little-endian. Times are monotonic nanoseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "game/room_key.h"
#include "net/clock.h"
#include "net/protocol.h"

namespace karst {

// PlayerStateRecord: u32 player id, RoomKey, 3 x f32 position, 3 x f32
// velocity, i32 yaw, u32 opaque word, u32 time stamp in milliseconds.
inline constexpr size_t kStatePlayerIdOffset = 0;
inline constexpr size_t kStateRoomKeyOffset = 4;
inline constexpr size_t kStateFloatsOffset = 12;
inline constexpr size_t kStateFloatCount = 6;
inline constexpr size_t kStateYawOffset = 36;
static_assert(kStateRoomKeyOffset + kRoomKeySize == kStateFloatsOffset);
static_assert(kStateFloatsOffset + 4 * kStateFloatCount == kStateYawOffset);
static_assert(kStateYawOffset + 12 == kPlayerStateSize);


// PlayerEvent: u32 player id, u8 kind, 3 detail bytes, u32 value, u32 detail.
inline constexpr size_t kEventPlayerIdOffset = 0;
inline constexpr size_t kEventKindOffset = 4;
inline constexpr size_t kEventValueOffset = 8;
inline constexpr size_t kEventKinds = 2;
inline constexpr uint32_t kMaxEventValue = 1'000'000;
static_assert(kEventValueOffset + 8 == kPlayerEventSize);

// Minimum spacing per player between relayed reports.
inline constexpr uint64_t kPlayerStateSpacingNs = 15 * kNsPerMs;
inline constexpr uint64_t kPlayerEventSpacingNs = 4 * kNsPerMs;

// Positions and velocities of players and Pibo alike: a client that sends more
// than this, or no number at all, is not describing the game's world.
inline constexpr float kMaxWorldMagnitude = 1'000'000.0f;

using StateRecord = std::span<uint8_t, kPlayerStateSize>;
using ConstStateRecord = std::span<const uint8_t, kPlayerStateSize>;

// Each of the six position and velocity floats is finite and within
// +-1,000,000; the other fields are not looked at.
bool stateFloatsValid(ConstStateRecord record);
// Every f32 in `floats` (a whole number of them) finite and within kMaxWorldMagnitude.
bool worldFloatsValid(std::span<const uint8_t> floats);
RoomKey stateRoomKey(ConstStateRecord record);
void stampStatePlayerId(StateRecord record, uint32_t playerId);

// Kind 0 or 1 and a value of at most 1,000,000.
bool playerEventValid(std::span<const uint8_t, kPlayerEventSize> event);

// The rate gate shared by movement (TCP and UDP) and events: true, and `lastNs`
// moved to `now`, when nothing was accepted yet or at least `spacingNs` have
// passed; false otherwise, leaving `lastNs` alone. A time stamp in the future
// counts as too soon.
bool claimRateSlot(uint64_t& lastNs, uint64_t now, uint64_t spacingNs);

}  // namespace karst
