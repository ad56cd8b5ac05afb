// Payload layouts of the garden's messages and the checks that need no server
// state: the name sanitiser, the content rules of a registration and the float
// rule of a relayed state.
//
// All integers are little-endian (net/coding.h); offsets and sizes are in bytes.
// Decoders read from payloads whose size the dispatcher has already checked.
#pragma once

#include "game/room_key.h"
#include "garden/pibo_store.h"
#include "net/protocol.h"
#include "net/server_messages.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace karst {

// PiboRegister: u64 id, RoomKey, u8 slot, u8 stage, 2 ignored, name, PiboData.
inline constexpr size_t kRegisterRoomOffset = 8;
inline constexpr size_t kRegisterSlotOffset = 16;
inline constexpr size_t kRegisterStageOffset = 17;
inline constexpr size_t kRegisterNameOffset = 20;
inline constexpr size_t kRegisterDataOffset = 36;
static_assert(kRegisterNameOffset + kPiboNameSize == kRegisterDataOffset);
static_assert(kRegisterDataOffset + kPiboDataSize == kPiboRegisterSize);

// PiboState: u64 id, u32 player id, RoomKey, six f32 (position first), 12 passed through.
inline constexpr size_t kPiboStatePlayerOffset = 8;
inline constexpr size_t kPiboStateFloatsOffset = 20;
inline constexpr size_t kPiboStateFloatCount = 6;
static_assert(kPiboStateRoomOffset == kPiboStatePlayerOffset + 4);
static_assert(kPiboStateFloatsOffset == kPiboStateRoomOffset + kRoomKeySize);
static_assert(kPiboStateFloatsOffset + 4 * kPiboStateFloatCount + 12 == kPiboStateSize);

// PiboInteract: u64 actor, u64 target, u8 action 1..6, 3 ignored.
inline constexpr uint8_t kFirstPiboAction = 1;
inline constexpr uint8_t kCreatureToCreatureAction = 6;

struct PiboRegisterRequest {
    uint64_t id = 0;
    RoomKey room;
    uint8_t localSlot = 0;
    uint8_t stage = 0;
    std::array<uint8_t, kPiboNameSize> name{};
    std::span<const uint8_t, kPiboDataSize> data;
};

// `payload` must be kPiboRegisterSize bytes; `data` points into it.
PiboRegisterRequest decodePiboRegister(std::span<const uint8_t> payload);

// Slot below 24, a known creature type, and a stage that matches the type.
bool isConsistentRegistration(const PiboRegisterRequest& request);

// The name as sanitizeNameField (net/printable_text.h) leaves it, "Pibo" when empty.
void sanitizePiboName(std::array<uint8_t, kPiboNameSize>& name);

// Every one of the six floats within the world's bounds (game/player_state.h).
bool hasValidPiboStateFloats(std::span<const uint8_t, kPiboStateSize> state);

}  // namespace karst
