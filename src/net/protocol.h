// The message catalogue: type numbers and exact payload sizes.
//
// Every frame is a 16-byte header ("KRST", u16 version 7, u16 type, u32 payload
// length, u32 sequence; little-endian) followed by a payload whose length is
// fixed by the type. docs/protocol.md describes each payload's layout.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace karst {

inline constexpr uint16_t kProtocolVersion = 7;
inline constexpr size_t kFrameHeaderSize = 16;
inline constexpr uint32_t kMaxPayloadLength = 4096;

enum class MessageType : uint16_t {
    Hello = 1,
    Welcome = 2,
    SetCharacter = 3,
    JoinRoom = 4,
    PlayerInfo = 5,
    PlayerLeft = 6,
    PlayerState = 7,
    ChatText = 8,
    SetReady = 9,
    RoomStatus = 10,
    StageStart = 11,
    Ping = 12,
    Pong = 13,
    Notice = 14,
    PiboFeed = 15,
    StageFinished = 16,
    StageFinishedResult = 17,
    StageEnded = 18,
    CompletedSave = 19,
    PlayerEvent = 20,
    BuyFruit = 21,
    BuyFruitResult = 22,
    PiboRegister = 23,
    PiboAppear = 24,
    PiboState = 25,
    PiboRelease = 26,
    PiboInteract = 27,
    PiboInteractResult = 28,
    PiboBreed = 29,
    PiboBred = 30,
    PiboDelivery = 31,
    PiboClaim = 32,
    UdpPlayerState = 33,
    UdpBound = 34,
};

inline constexpr uint16_t kMaxMessageType = 34;

// Payload sizes, by message.
inline constexpr size_t kHelloSize = 48;
inline constexpr size_t kWelcomeSize = 24;
inline constexpr size_t kSetCharacterSize = 28;
inline constexpr size_t kJoinRoomSize = 8;
inline constexpr size_t kPlayerInfoSize = 40;
inline constexpr size_t kPlayerLeftSize = 4;
inline constexpr size_t kPlayerStateSize = 48;  // one PlayerStateRecord
inline constexpr size_t kChatTextSize = 196;
inline constexpr size_t kSetReadySize = 1;
inline constexpr size_t kRoomStatusSize = 8;
inline constexpr size_t kStageStartSize = 12;
inline constexpr size_t kPingSize = 4;
inline constexpr size_t kPongSize = 4;
inline constexpr size_t kNoticeSize = 128;
inline constexpr size_t kPiboFeedSize = 12;
inline constexpr size_t kStageFinishedSize = 16;
inline constexpr size_t kStageFinishedResultSize = 24;
inline constexpr size_t kStageEndedSize = 12;
inline constexpr size_t kCompletedSaveFileSize = 1392;
inline constexpr size_t kCompletedSaveSize = 4 + kCompletedSaveFileSize;
inline constexpr size_t kPlayerEventSize = 16;
inline constexpr size_t kBuyFruitSize = 4;
inline constexpr size_t kBuyFruitResultSize = 8;
inline constexpr size_t kPiboDataSize = 2048;
inline constexpr size_t kPiboRegisterSize = 36 + kPiboDataSize;
inline constexpr size_t kPiboAppearSize = 40 + kPiboDataSize;
inline constexpr size_t kPiboStateSize = 56;
inline constexpr size_t kPiboReleaseSize = 8;
inline constexpr size_t kPiboInteractSize = 20;
inline constexpr size_t kPiboInteractResultSize = 20;
inline constexpr size_t kPiboBreedSize = 16;
inline constexpr size_t kPiboBredSize = 40;
inline constexpr size_t kPiboDeliverySize = 40 + kPiboDataSize;
inline constexpr size_t kPiboClaimSize = 12;
inline constexpr size_t kUdpPlayerStateSize = 60;
inline constexpr size_t kUdpBoundSize = 8;

// A client's UDP datagram: header plus UdpPlayerState; the server's UDP
// datagram is a whole PlayerState frame.
inline constexpr size_t kUdpDatagramSize = kFrameHeaderSize + kUdpPlayerStateSize;
inline constexpr size_t kPlayerStateFrameSize = kFrameHeaderSize + kPlayerStateSize;

static_assert(kCompletedSaveSize == 1396);
static_assert(kPiboRegisterSize == 2084 && kPiboAppearSize == 2088 && kPiboDeliverySize == 2088);
static_assert(kUdpDatagramSize == 76 && kPlayerStateFrameSize == 64);

// Exact payload size of each type a client may send over TCP; 0 marks a type
// the server never accepts from a client (the gate closes the connection).
inline constexpr std::array<uint16_t, kMaxMessageType + 1> kClientPayloadSizes = [] {
    std::array<uint16_t, kMaxMessageType + 1> sizes{};
    const auto size = [&](MessageType type) -> uint16_t& { return sizes[static_cast<size_t>(type)]; };
    size(MessageType::Hello) = kHelloSize;
    size(MessageType::SetCharacter) = kSetCharacterSize;
    size(MessageType::JoinRoom) = kJoinRoomSize;
    size(MessageType::PlayerState) = kPlayerStateSize;
    size(MessageType::ChatText) = kChatTextSize;
    size(MessageType::SetReady) = kSetReadySize;
    size(MessageType::Ping) = kPingSize;
    size(MessageType::PiboFeed) = kPiboFeedSize;
    size(MessageType::StageFinished) = kStageFinishedSize;
    size(MessageType::PlayerEvent) = kPlayerEventSize;
    size(MessageType::BuyFruit) = kBuyFruitSize;
    size(MessageType::PiboRegister) = kPiboRegisterSize;
    size(MessageType::PiboState) = kPiboStateSize;
    size(MessageType::PiboRelease) = kPiboReleaseSize;
    size(MessageType::PiboInteract) = kPiboInteractSize;
    size(MessageType::PiboBreed) = kPiboBreedSize;
    size(MessageType::PiboClaim) = kPiboClaimSize;
    return sizes;
}();

// The notice codes a player can be shown.
enum class NoticeCode : uint16_t {
    InstanceFull = 1,
    PiboOwnerNotNearby = 2,
    StageNotForCharacter = 3,
    CharacterOnlyInHub = 4,
    StageInProgress = 5,
    FruitNotInInventory = 6,
    SlowDownOrOwnership = 7,
    CannotBreed = 8,
    // The operator's console.
    RemovedByOperator = 9,
    OperatorMessage = 10,
    Banned = 11,
    // The shared store (a database) cannot be reached; the log-on is refused.
    StorageUnavailable = 12,
    // The allow list does not name the Hello's key; the log-on is refused.
    NotListed = 13,
};

}  // namespace karst
