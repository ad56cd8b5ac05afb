#include "net/client_messages.h"

#include <algorithm>

#include "garden/pibo_store.h"
#include "net/coding.h"

namespace karst {

static_assert(kPlayerInfoBlockSize + 4 + kProfileKeySize == kHelloSize);
static_assert(kPlayerInfoBlockSize == kSetCharacterSize);
static_assert(kRoomKeySize == kJoinRoomSize && kRoomKeySize + 4 + 4 == kStageFinishedSize);
static_assert(kPiboStateRoomOffset + kRoomKeySize <= kPiboStateSize);
static_assert(4 + 4 + 1 + 3 == kPiboFeedSize && 8 + 8 + 1 + 3 == kPiboInteractSize);
static_assert(8 + 8 == kPiboBreedSize && 8 + 1 + 1 + 2 == kPiboClaimSize);
static_assert(4 + 8 + kPlayerStateSize == kUdpPlayerStateSize);

HelloMessage decodeHello(std::span<const uint8_t> payload) {
    HelloMessage hello;
    ByteReader in(payload);
    in.bytes(hello.info.data(), hello.info.size());
    in.skip(4);
    in.bytes(hello.profileKey.data(), hello.profileKey.size());
    return hello;
}

PlayerInfoBlock decodeSetCharacter(std::span<const uint8_t> payload) {
    PlayerInfoBlock block;
    std::copy_n(payload.begin(), block.size(), block.begin());
    return block;
}

RoomKey decodeJoinRoom(std::span<const uint8_t> payload) { return decodeRoomKey(payload.data()); }

StageFinishedMessage decodeStageFinished(std::span<const uint8_t> payload) {
    return {decodeRoomKey(payload.data()), getU32(payload.data() + kRoomKeySize)};
}

bool decodeSetReady(std::span<const uint8_t> payload) { return payload[0] != 0; }

int8_t decodeBuyFruit(std::span<const uint8_t> payload) { return getI8(payload.data()); }

PiboStateMessage decodePiboState(std::span<const uint8_t> payload) {
    return {getU64(payload.data()), decodeRoomKey(payload.data() + kPiboStateRoomOffset)};
}

uint64_t decodePiboRelease(std::span<const uint8_t> payload) { return getU64(payload.data()); }

PiboFeedMessage decodePiboFeed(std::span<const uint8_t> payload) {
    ByteReader in(payload);
    in.skip(4);
    PiboFeedMessage feed;
    feed.ownerPlayerId = in.u32();
    feed.fruit = static_cast<int8_t>(in.u8());
    return feed;
}

PiboInteractMessage decodePiboInteract(std::span<const uint8_t> payload) {
    ByteReader in(payload);
    PiboInteractMessage message;
    message.actorId = in.u64();
    message.targetId = in.u64();
    message.action = in.u8();
    return message;
}

PiboBreedMessage decodePiboBreed(std::span<const uint8_t> payload) {
    ByteReader in(payload);
    PiboBreedMessage message;
    message.firstId = in.u64();
    message.secondId = in.u64();
    return message;
}

PiboClaimMessage decodePiboClaim(std::span<const uint8_t> payload) {
    ByteReader in(payload);
    PiboClaimMessage claim;
    claim.id = in.u64();
    claim.localSlot = in.u8();
    claim.accepted = in.u8() != 0;
    return claim;
}

UdpPlayerStateMessage decodeUdpPlayerState(std::span<const uint8_t> payload) {
    ByteReader in(payload);
    UdpPlayerStateMessage message;
    message.playerId = in.u32();
    message.udpToken = in.u64();
    in.bytes(message.record.data(), message.record.size());
    return message;
}

}  // namespace karst
