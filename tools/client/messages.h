// The client's view of every message karst_server speaks: one plain struct per
// message, a builder for what a client sends and a parser for what it receives.
//
// Layouts are written here from the protocol description (docs/protocol.md), not
// shared with the server, so that tests built on this client check the server's
// encodings rather than repeat them. All integers are little-endian and encoded
// with common/wire.h. Builders return a std::array of the exact payload size;
// parsers return std::nullopt unless the payload has exactly the listed size.
// Text fields are fixed-width and zero-padded: builders copy at most the field
// width (so a test can fill a field with no terminator), parsers stop at the
// first zero byte.
#pragma once

#include "client/game_facts.h"
#include "common/frame_codec.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace karst::client {

template <size_t N>
using Payload = std::array<uint8_t, N>;

// The catalogue, under the names the client's users know it by.
using tools::kFrameHeaderSize;
using tools::kMaxPayloadLength;
using tools::kProtocolVersion;
using tools::MessageType;
using tools::kBuyFruitResultSize;
using tools::kBuyFruitSize;
using tools::kChatTextSize;
using tools::kCompletedSaveFileSize;
using tools::kCompletedSaveSize;
using tools::kHelloSize;
using tools::kJoinRoomSize;
using tools::kNoticeSize;
using tools::kPiboAppearSize;
using tools::kPiboBredSize;
using tools::kPiboBreedSize;
using tools::kPiboClaimSize;
using tools::kPiboDataSize;
using tools::kPiboDeliverySize;
using tools::kPiboFeedSize;
using tools::kPiboInteractResultSize;
using tools::kPiboInteractSize;
using tools::kPiboRegisterSize;
using tools::kPiboReleaseSize;
using tools::kPiboStateSize;
using tools::kPingSize;
using tools::kPlayerEventSize;
using tools::kPlayerInfoSize;
using tools::kPlayerLeftSize;
using tools::kPlayerStateFrameSize;
using tools::kPlayerStateSize;
using tools::kPongSize;
using tools::kRoomStatusSize;
using tools::kSetCharacterSize;
using tools::kSetReadySize;
using tools::kStageEndedSize;
using tools::kStageFinishedResultSize;
using tools::kStageFinishedSize;
using tools::kStageStartSize;
using tools::kUdpBoundSize;
using tools::kUdpDatagramSize;
using tools::kUdpPlayerStateSize;
using tools::kWelcomeSize;

inline constexpr size_t kNameFieldSize = 24;
inline constexpr size_t kNoticeTextSize = 126;
inline constexpr size_t kChatTextFieldSize = 192;
inline constexpr size_t kPiboNameSize = 16;
inline constexpr size_t kPlayerStateRecordSize = 48;
inline constexpr size_t kPiboExtraSize = 12;

using PiboData = std::array<uint8_t, kPiboDataSize>;

// ---- Frames -------------------------------------------------------------

using tools::decodeFrameHeader;
using tools::encodeFrame;
using tools::encodeFrameHeader;
using tools::Frame;
using tools::FrameHeader;

// ---- Shared records -----------------------------------------------------

// The movement record of PlayerState, the UDP datagram and the hub proxies.
struct PlayerStateRecord {
    uint32_t playerId = 0;
    RoomKey room;
    std::array<float, 3> position{};
    std::array<float, 3> velocity{};
    int32_t yaw = 0;  // 65,536 units per full turn
    uint32_t opaque = 0;
    uint32_t timeMs = 0;
};

// ---- Handshake, rooms and play ------------------------------------------

struct Hello {
    std::string name;
    uint8_t character = 0;
    Colour colour{};
    ProfileKey profileKey{};
};

struct Welcome {
    uint32_t playerId = 0;
    uint32_t connectionCount = 0;
    uint32_t uptimeMs = 0;
    uint32_t rings = 0;
    uint64_t udpToken = 0;
};

struct SetCharacter {
    std::string name;
    uint8_t character = 0;
    Colour colour{};
};

struct PlayerInfo {
    uint32_t playerId = 0;
    std::string name;                                // up to the first zero byte
    std::array<uint8_t, kNameFieldSize> nameField{};  // the field as received
    uint8_t character = 0;
    Colour colour{};
    RoomKey room;
};

struct RoomStatus {
    uint16_t members = 0;
    uint16_t ready = 0;
    uint8_t countdown = 0;
    uint8_t mission = 0;
    uint16_t reserved = 0;
};

struct StageStart {
    RoomKey room;
    uint32_t uptimeMs = 0;
};

struct ChatText {
    uint32_t playerId = 0;
    std::string text;
};

struct PlayerEvent {
    uint32_t playerId = 0;
    uint8_t kind = 0;
    std::array<uint8_t, 3> detail{};
    uint32_t value = 0;
    uint32_t extra = 0;
};

struct Notice {
    uint16_t code = 0;
    std::string text;
};

struct StageFinished {
    RoomKey room;
    uint32_t result = 0;
    uint32_t unused = 0;
};

struct StageFinishedResult {
    uint32_t playerId = 0;
    uint32_t result = 0;
    uint32_t ringsAwarded = 0;
    uint32_t rings = 0;
    uint16_t finishedCount = 0;
    uint16_t memberCount = 0;
    uint8_t place = 0;
};

struct StageEnded {
    RoomKey room;
    uint32_t endCode = 0;
};

struct CompletedSave {
    uint32_t hash = 0;
    std::array<uint8_t, kCompletedSaveFileSize> data{};
};

struct BuyFruitResult {
    uint8_t fruit = 0;
    uint8_t bought = 0;
    uint16_t price = 0;
    uint32_t rings = 0;
};

// ---- Pibo garden ----------------------------------------------------------

struct PiboFeed {
    uint32_t playerId = 0;  // ignored by the server; the feeder's id in the echo
    uint32_t ownerPlayerId = 0;
    int8_t fruit = 0;
    std::array<uint8_t, 3> extra{};
};

struct PiboRegister {
    uint64_t id = 0;
    RoomKey room;
    uint8_t localSlot = 0;
    uint8_t stage = 2;  // 1 when data[128] is 1 (an egg), else 2
    std::string name;
    PiboData data{};
};

struct PiboState {
    uint64_t id = 0;
    uint32_t playerId = 0;
    RoomKey room;
    std::array<float, 3> position{};
    std::array<float, 3> further{};
    std::array<uint8_t, kPiboExtraSize> extra{};
};

struct PiboRelease {
    uint64_t id = 0;
};

struct PiboInteract {
    uint64_t actorId = 0;  // 0: the player acts itself
    uint64_t targetId = 0;
    uint8_t action = 1;
};

struct PiboBreed {
    uint64_t firstId = 0;
    uint64_t secondId = 0;
};

struct PiboClaim {
    uint64_t id = 0;
    uint8_t localSlot = 0;
    uint8_t accepted = 1;
};

struct PiboAppear {
    uint64_t id = 0;
    uint32_t holderPlayerId = 0;
    RoomKey room;
    uint8_t localSlot = 0;
    uint8_t stage = 0;
    uint8_t present = 0;
    uint8_t reserved = 0;
    std::string name;
    PiboData data{};
};

struct PiboInteractResult {
    uint64_t actorId = 0;
    uint64_t targetId = 0;
    uint8_t action = 0;
    uint8_t allowed = 0;
    uint16_t resultCode = 0;
};

struct PiboBred {
    uint64_t firstId = 0;
    uint64_t secondId = 0;
    uint64_t firstEggId = 0;
    uint64_t secondEggId = 0;
    uint32_t firstHolderPlayerId = 0;
    uint32_t secondHolderPlayerId = 0;
};

struct PiboDelivery {
    uint64_t id = 0;
    uint64_t parentA = 0;
    uint64_t parentB = 0;
    std::string name;
    PiboData data{};
};

// ---- UDP movement ---------------------------------------------------------

struct UdpPlayerState {
    uint32_t playerId = 0;
    uint64_t udpToken = 0;
    PlayerStateRecord record;
};

// ---- Builders (client to server; both ways where the server relays) -----

Payload<kHelloSize> encodeHello(const Hello& m);
Payload<kSetCharacterSize> encodeSetCharacter(const SetCharacter& m);
Payload<kJoinRoomSize> encodeJoinRoom(const RoomKey& room);
Payload<kPlayerStateSize> encodePlayerState(const PlayerStateRecord& m);
Payload<kChatTextSize> encodeChatText(const ChatText& m);
Payload<kSetReadySize> encodeSetReady(uint8_t ready);
Payload<kPingSize> encodePing(const std::array<uint8_t, kPingSize>& bytes);
Payload<kPiboFeedSize> encodePiboFeed(const PiboFeed& m);
Payload<kStageFinishedSize> encodeStageFinished(const StageFinished& m);
Payload<kPlayerEventSize> encodePlayerEvent(const PlayerEvent& m);
Payload<kBuyFruitSize> encodeBuyFruit(int8_t fruit);
Payload<kPiboRegisterSize> encodePiboRegister(const PiboRegister& m);
Payload<kPiboStateSize> encodePiboState(const PiboState& m);
Payload<kPiboReleaseSize> encodePiboRelease(const PiboRelease& m);
Payload<kPiboInteractSize> encodePiboInteract(const PiboInteract& m);
Payload<kPiboBreedSize> encodePiboBreed(const PiboBreed& m);
Payload<kPiboClaimSize> encodePiboClaim(const PiboClaim& m);
Payload<kUdpPlayerStateSize> encodeUdpPlayerState(const UdpPlayerState& m);
// The whole 76-byte client datagram: header (type 33, length 60) and payload.
Payload<kUdpDatagramSize> encodeUdpDatagram(const UdpPlayerState& m, uint32_t sequence);

// ---- Parsers (server to client) ---------------------------------------------

std::optional<Welcome> decodeWelcome(std::span<const uint8_t> payload);
std::optional<PlayerInfo> decodePlayerInfo(std::span<const uint8_t> payload);
std::optional<uint32_t> decodePlayerLeft(std::span<const uint8_t> payload);
std::optional<PlayerStateRecord> decodePlayerState(std::span<const uint8_t> payload);
std::optional<ChatText> decodeChatText(std::span<const uint8_t> payload);
std::optional<RoomStatus> decodeRoomStatus(std::span<const uint8_t> payload);
std::optional<StageStart> decodeStageStart(std::span<const uint8_t> payload);
std::optional<std::array<uint8_t, kPongSize>> decodePong(std::span<const uint8_t> payload);
std::optional<Notice> decodeNotice(std::span<const uint8_t> payload);
std::optional<PiboFeed> decodePiboFeed(std::span<const uint8_t> payload);
std::optional<StageFinishedResult> decodeStageFinishedResult(std::span<const uint8_t> payload);
std::optional<StageEnded> decodeStageEnded(std::span<const uint8_t> payload);
std::optional<CompletedSave> decodeCompletedSave(std::span<const uint8_t> payload);
std::optional<PlayerEvent> decodePlayerEvent(std::span<const uint8_t> payload);
std::optional<BuyFruitResult> decodeBuyFruitResult(std::span<const uint8_t> payload);
std::optional<PiboAppear> decodePiboAppear(std::span<const uint8_t> payload);
std::optional<PiboState> decodePiboState(std::span<const uint8_t> payload);
std::optional<PiboRelease> decodePiboRelease(std::span<const uint8_t> payload);
std::optional<PiboInteractResult> decodePiboInteractResult(std::span<const uint8_t> payload);
std::optional<PiboBred> decodePiboBred(std::span<const uint8_t> payload);
std::optional<PiboDelivery> decodePiboDelivery(std::span<const uint8_t> payload);
std::optional<uint64_t> decodeUdpBound(std::span<const uint8_t> payload);
// The server's 64-byte UDP datagram: a whole PlayerState frame.
std::optional<PlayerStateRecord> decodePlayerStateDatagram(std::span<const uint8_t> datagram);

}  // namespace karst::client
