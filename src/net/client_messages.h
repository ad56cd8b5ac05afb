// What clients send, decoded into named fields: one decoder per client-to-server
// message whose fields the server reads, so handlers never index a payload.
//
// Every decoder takes a payload whose exact size the gate has already checked
// (kClientPayloadSizes in net/protocol.h). Integers are little-endian. Messages
// the server relays mostly unchanged (PlayerState, PlayerEvent, ChatText, Ping)
// are copied whole and read through their own helpers (game/player_state.h,
// game/chat_text.h); PiboRegister has its decoder beside the garden's rules
// (garden/pibo_messages.h).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "game/catalogue.h"
#include "game/room_key.h"
#include "net/protocol.h"
#include "store/profile_key.h"

namespace karst {

// The name, character and colour block that opens Hello and SetCharacter,
// exactly as received (sanitizePlayerInfo cleans it).
inline constexpr size_t kPlayerInfoBlockSize = kPlayerNameSize + 1 + kColourSize;
using PlayerInfoBlock = std::array<uint8_t, kPlayerInfoBlockSize>;
inline constexpr size_t kBlockCharacterOffset = kPlayerNameSize;
inline constexpr size_t kBlockColourOffset = kPlayerNameSize + 1;

// Hello: the block, 4 reserved bytes, the 16-byte profile key.
struct HelloMessage {
    PlayerInfoBlock info{};
    ProfileKey profileKey{};
};
HelloMessage decodeHello(std::span<const uint8_t> payload);

// SetCharacter: the block alone.
PlayerInfoBlock decodeSetCharacter(std::span<const uint8_t> payload);

// JoinRoom: a RoomKey. StageFinished: a RoomKey, then the u32 result the room sees.
RoomKey decodeJoinRoom(std::span<const uint8_t> payload);
struct StageFinishedMessage {
    RoomKey room;
    uint32_t result = 0;
};
StageFinishedMessage decodeStageFinished(std::span<const uint8_t> payload);

// SetReady: one byte, non-zero for ready. BuyFruit: an i8 fruit code, 3 ignored.
bool decodeSetReady(std::span<const uint8_t> payload);
int8_t decodeBuyFruit(std::span<const uint8_t> payload);

// PiboState (the fields the server checks; the rest is relayed as sent) and
// PiboRelease: a creature's u64 id first.
struct PiboStateMessage {
    uint64_t id = 0;
    RoomKey room;
};
PiboStateMessage decodePiboState(std::span<const uint8_t> payload);
uint64_t decodePiboRelease(std::span<const uint8_t> payload);

// PiboFeed: 4 ignored (the feeder's id in the echo), u32 owner id, i8 fruit, 3 passed through.
struct PiboFeedMessage {
    uint32_t ownerPlayerId = 0;
    int8_t fruit = 0;
};
PiboFeedMessage decodePiboFeed(std::span<const uint8_t> payload);

// PiboInteract: u64 actor (0: the player), u64 target, u8 action, 3 ignored.
struct PiboInteractMessage {
    uint64_t actorId = 0;
    uint64_t targetId = 0;
    uint8_t action = 0;
};
PiboInteractMessage decodePiboInteract(std::span<const uint8_t> payload);

// PiboBreed: two u64 ids.
struct PiboBreedMessage {
    uint64_t firstId = 0;
    uint64_t secondId = 0;
};
PiboBreedMessage decodePiboBreed(std::span<const uint8_t> payload);

// PiboClaim: u64 id, u8 slot, u8 accepted, 2 ignored.
struct PiboClaimMessage {
    uint64_t id = 0;
    uint8_t localSlot = 0;
    bool accepted = false;
};
PiboClaimMessage decodePiboClaim(std::span<const uint8_t> payload);

// UdpPlayerState (UDP only, after its header): u32 player id, u64 token, the
// 48-byte movement record.
struct UdpPlayerStateMessage {
    uint32_t playerId = 0;
    uint64_t udpToken = 0;
    std::array<uint8_t, kPlayerStateSize> record{};
};
UdpPlayerStateMessage decodeUdpPlayerState(std::span<const uint8_t> payload);

}  // namespace karst
