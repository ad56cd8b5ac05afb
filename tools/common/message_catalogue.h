// The message catalogue as the client tools know it from docs/protocol.md:
// the frame header's constants, every message's type number, its one payload
// size and which way it travels.
//
// The server keeps its own catalogue; a test compares the two, so a change to
// either side is seen instead of being carried silently by both.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace karst::tools {

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

// Payload sizes, by message, as the catalogue table lists them.
inline constexpr size_t kHelloSize = 48;
inline constexpr size_t kWelcomeSize = 24;
inline constexpr size_t kSetCharacterSize = 28;
inline constexpr size_t kJoinRoomSize = 8;
inline constexpr size_t kPlayerInfoSize = 40;
inline constexpr size_t kPlayerLeftSize = 4;
inline constexpr size_t kPlayerStateSize = 48;
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
inline constexpr size_t kCompletedSaveSize = 1396;
inline constexpr size_t kPlayerEventSize = 16;
inline constexpr size_t kBuyFruitSize = 4;
inline constexpr size_t kBuyFruitResultSize = 8;
inline constexpr size_t kPiboRegisterSize = 2084;
inline constexpr size_t kPiboAppearSize = 2088;
inline constexpr size_t kPiboStateSize = 56;
inline constexpr size_t kPiboReleaseSize = 8;
inline constexpr size_t kPiboInteractSize = 20;
inline constexpr size_t kPiboInteractResultSize = 20;
inline constexpr size_t kPiboBreedSize = 16;
inline constexpr size_t kPiboBredSize = 40;
inline constexpr size_t kPiboDeliverySize = 2088;
inline constexpr size_t kPiboClaimSize = 12;
inline constexpr size_t kUdpPlayerStateSize = 60;
inline constexpr size_t kUdpBoundSize = 8;

// Pieces of payloads that other layouts and files repeat.
inline constexpr size_t kCompletedSaveFileSize = 1392;
inline constexpr size_t kPiboDataSize = 2048;
// The client's datagram (header and UdpPlayerState) and the server's (a whole PlayerState frame).
inline constexpr size_t kUdpDatagramSize = kFrameHeaderSize + kUdpPlayerStateSize;
inline constexpr size_t kPlayerStateFrameSize = kFrameHeaderSize + kPlayerStateSize;

// Who may send a type: the server's gate closes a TCP connection on any type
// a client may not send, and UdpPlayerState travels only in a datagram.
enum class Sender : uint8_t { Client, Server, Both, ClientOverUdp };

struct CatalogueEntry {
    MessageType type;
    size_t size;
    Sender sender;
};

inline constexpr std::array<CatalogueEntry, 34> kCatalogue{{
    {MessageType::Hello, kHelloSize, Sender::Client},
    {MessageType::Welcome, kWelcomeSize, Sender::Server},
    {MessageType::SetCharacter, kSetCharacterSize, Sender::Client},
    {MessageType::JoinRoom, kJoinRoomSize, Sender::Client},
    {MessageType::PlayerInfo, kPlayerInfoSize, Sender::Server},
    {MessageType::PlayerLeft, kPlayerLeftSize, Sender::Server},
    {MessageType::PlayerState, kPlayerStateSize, Sender::Both},
    {MessageType::ChatText, kChatTextSize, Sender::Both},
    {MessageType::SetReady, kSetReadySize, Sender::Client},
    {MessageType::RoomStatus, kRoomStatusSize, Sender::Server},
    {MessageType::StageStart, kStageStartSize, Sender::Server},
    {MessageType::Ping, kPingSize, Sender::Client},
    {MessageType::Pong, kPongSize, Sender::Server},
    {MessageType::Notice, kNoticeSize, Sender::Server},
    {MessageType::PiboFeed, kPiboFeedSize, Sender::Both},
    {MessageType::StageFinished, kStageFinishedSize, Sender::Client},
    {MessageType::StageFinishedResult, kStageFinishedResultSize, Sender::Server},
    {MessageType::StageEnded, kStageEndedSize, Sender::Server},
    {MessageType::CompletedSave, kCompletedSaveSize, Sender::Server},
    {MessageType::PlayerEvent, kPlayerEventSize, Sender::Both},
    {MessageType::BuyFruit, kBuyFruitSize, Sender::Client},
    {MessageType::BuyFruitResult, kBuyFruitResultSize, Sender::Server},
    {MessageType::PiboRegister, kPiboRegisterSize, Sender::Client},
    {MessageType::PiboAppear, kPiboAppearSize, Sender::Server},
    {MessageType::PiboState, kPiboStateSize, Sender::Both},
    {MessageType::PiboRelease, kPiboReleaseSize, Sender::Both},
    {MessageType::PiboInteract, kPiboInteractSize, Sender::Client},
    {MessageType::PiboInteractResult, kPiboInteractResultSize, Sender::Server},
    {MessageType::PiboBreed, kPiboBreedSize, Sender::Client},
    {MessageType::PiboBred, kPiboBredSize, Sender::Server},
    {MessageType::PiboDelivery, kPiboDeliverySize, Sender::Server},
    {MessageType::PiboClaim, kPiboClaimSize, Sender::Client},
    {MessageType::UdpPlayerState, kUdpPlayerStateSize, Sender::ClientOverUdp},
    {MessageType::UdpBound, kUdpBoundSize, Sender::Server},
}};

// Every type number from 1 up is listed once, in order.
static_assert([] {
    for (size_t i = 0; i < kCatalogue.size(); ++i)
        if (static_cast<size_t>(kCatalogue[i].type) != i + 1) return false;
    return true;
}());

}  // namespace karst::tools
