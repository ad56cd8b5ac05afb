// Builders and parsers for every message of the client protocol.
//
// Each function walks its layout field by field with ByteWriter/ByteReader;
// the static_asserts tie the field widths to the catalogue's payload sizes, and
// every parser also checks that it consumed exactly the payload it was given.
#include "client/messages.h"

#include "net/coding.h"

#include <algorithm>
#include <cstring>

namespace karst::client {

static_assert(kNameFieldSize + 1 + kColourSize + 4 + kProfileKeySize == kHelloSize);
static_assert(4 * 4 + 8 == kWelcomeSize);
static_assert(kNameFieldSize + 1 + kColourSize == kSetCharacterSize);
static_assert(4 + kNameFieldSize + 1 + kColourSize + kRoomKeySize == kPlayerInfoSize);
static_assert(4 + kRoomKeySize + 6 * 4 + 3 * 4 == kPlayerStateRecordSize);
static_assert(kPlayerStateRecordSize == kPlayerStateSize);
static_assert(4 + kChatTextFieldSize == kChatTextSize);
static_assert(2 + 2 + 1 + 1 + 2 == kRoomStatusSize);
static_assert(kRoomKeySize + 4 == kStageStartSize && kRoomKeySize + 4 == kStageEndedSize);
static_assert(2 + kNoticeTextSize == kNoticeSize);
static_assert(4 + 4 + 1 + 3 == kPiboFeedSize);
static_assert(kRoomKeySize + 4 + 4 == kStageFinishedSize);
static_assert(5 * 4 + 1 + 3 == kStageFinishedResultSize);
static_assert(4 + 1 + 3 + 4 + 4 == kPlayerEventSize);
static_assert(1 + 1 + 2 + 4 == kBuyFruitResultSize);
static_assert(8 + kRoomKeySize + 1 + 1 + 2 + kPiboNameSize + kPiboDataSize == kPiboRegisterSize);
static_assert(8 + 4 + kRoomKeySize + 4 + kPiboNameSize + kPiboDataSize == kPiboAppearSize);
static_assert(8 + 4 + kRoomKeySize + 6 * 4 + kPiboExtraSize == kPiboStateSize);
static_assert(8 + 8 + 1 + 3 == kPiboInteractSize);
static_assert(8 + 8 + 1 + 1 + 2 == kPiboInteractResultSize);
static_assert(4 * 8 + 2 * 4 == kPiboBredSize);
static_assert(3 * 8 + kPiboNameSize + kPiboDataSize == kPiboDeliverySize);
static_assert(8 + 1 + 1 + 2 == kPiboClaimSize);
static_assert(4 + 8 + kPlayerStateRecordSize == kUdpPlayerStateSize);

namespace {

void writeRoomKey(ByteWriter& w, const RoomKey& room) {
    uint8_t bytes[kRoomKeySize];
    encodeRoomKey(bytes, room);
    w.bytes(bytes, sizeof bytes);
}

RoomKey readRoomKey(ByteReader& r) {
    uint8_t bytes[kRoomKeySize] = {};
    r.bytes(bytes, sizeof bytes);
    return decodeRoomKey(bytes);
}

void writeFloats(ByteWriter& w, const std::array<float, 3>& v) {
    for (float f : v) w.f32(f);
}

std::array<float, 3> readFloats(ByteReader& r) {
    std::array<float, 3> v{};
    for (float& f : v) f = r.f32();
    return v;
}

// A zero-padded text field, read up to its first zero byte.
std::string readText(ByteReader& r, size_t width) {
    std::string text(width, '\0');
    r.bytes(text.data(), width);
    text.resize(std::strlen(text.c_str()));
    return text;
}

template <size_t N>
void readArray(ByteReader& r, std::array<uint8_t, N>& out) {
    r.bytes(out.data(), N);
}

void writeRecord(ByteWriter& w, const PlayerStateRecord& m) {
    w.u32(m.playerId);
    writeRoomKey(w, m.room);
    writeFloats(w, m.position);
    writeFloats(w, m.velocity);
    w.i32(m.yaw).u32(m.opaque).u32(m.timeMs);
}

PlayerStateRecord readRecord(ByteReader& r) {
    PlayerStateRecord m;
    m.playerId = r.u32();
    m.room = readRoomKey(r);
    m.position = readFloats(r);
    m.velocity = readFloats(r);
    m.yaw = r.i32();
    m.opaque = r.u32();
    m.timeMs = r.u32();
    return m;
}

// Every parser: exactly `size` bytes, read field by field by `fill`, and the
// whole payload consumed, nothing beyond it.
template <class T, class Fill>
std::optional<T> parseExactly(std::span<const uint8_t> payload, size_t size, Fill fill) {
    if (payload.size() != size) return std::nullopt;
    ByteReader r(payload);
    T m{};
    fill(r, m);
    if (!r.ok() || r.remaining() != 0) return std::nullopt;
    return m;
}

}  // namespace

// ---- Builders -----------------------------------------------------------

Payload<kHelloSize> encodeHello(const Hello& m) {
    Payload<kHelloSize> out{};
    ByteWriter w(out);
    w.text(m.name, kNameFieldSize).u8(m.character).bytes(m.colour.data(), kColourSize);
    w.zeros(4).bytes(m.profileKey.data(), kProfileKeySize);
    return out;
}

Payload<kSetCharacterSize> encodeSetCharacter(const SetCharacter& m) {
    Payload<kSetCharacterSize> out{};
    ByteWriter w(out);
    w.text(m.name, kNameFieldSize).u8(m.character).bytes(m.colour.data(), kColourSize);
    return out;
}

Payload<kJoinRoomSize> encodeJoinRoom(const RoomKey& room) {
    Payload<kJoinRoomSize> out{};
    ByteWriter w(out);
    writeRoomKey(w, room);
    return out;
}

Payload<kPlayerStateSize> encodePlayerState(const PlayerStateRecord& m) {
    Payload<kPlayerStateSize> out{};
    ByteWriter w(out);
    writeRecord(w, m);
    return out;
}

Payload<kChatTextSize> encodeChatText(const ChatText& m) {
    Payload<kChatTextSize> out{};
    ByteWriter w(out);
    w.u32(m.playerId).text(m.text, kChatTextFieldSize);
    return out;
}

Payload<kSetReadySize> encodeSetReady(uint8_t ready) { return {ready}; }

Payload<kPingSize> encodePing(const std::array<uint8_t, kPingSize>& bytes) { return bytes; }

Payload<kPiboFeedSize> encodePiboFeed(const PiboFeed& m) {
    Payload<kPiboFeedSize> out{};
    ByteWriter w(out);
    w.u32(m.playerId).u32(m.ownerPlayerId).u8(static_cast<uint8_t>(m.fruit));
    w.bytes(m.extra.data(), m.extra.size());
    return out;
}

Payload<kStageFinishedSize> encodeStageFinished(const StageFinished& m) {
    Payload<kStageFinishedSize> out{};
    ByteWriter w(out);
    writeRoomKey(w, m.room);
    w.u32(m.result).u32(m.unused);
    return out;
}

Payload<kPlayerEventSize> encodePlayerEvent(const PlayerEvent& m) {
    Payload<kPlayerEventSize> out{};
    ByteWriter w(out);
    w.u32(m.playerId).u8(m.kind).bytes(m.detail.data(), m.detail.size());
    w.u32(m.value).u32(m.extra);
    return out;
}

Payload<kBuyFruitSize> encodeBuyFruit(int8_t fruit) {
    return {static_cast<uint8_t>(fruit), 0, 0, 0};
}

Payload<kPiboRegisterSize> encodePiboRegister(const PiboRegister& m) {
    Payload<kPiboRegisterSize> out{};
    ByteWriter w(out);
    w.u64(m.id);
    writeRoomKey(w, m.room);
    w.u8(m.localSlot).u8(m.stage).zeros(2).text(m.name, kPiboNameSize);
    w.bytes(m.data.data(), m.data.size());
    return out;
}

Payload<kPiboStateSize> encodePiboState(const PiboState& m) {
    Payload<kPiboStateSize> out{};
    ByteWriter w(out);
    w.u64(m.id).u32(m.playerId);
    writeRoomKey(w, m.room);
    writeFloats(w, m.position);
    writeFloats(w, m.further);
    w.bytes(m.extra.data(), m.extra.size());
    return out;
}

Payload<kPiboReleaseSize> encodePiboRelease(const PiboRelease& m) {
    Payload<kPiboReleaseSize> out{};
    putU64(out.data(), m.id);
    return out;
}

Payload<kPiboInteractSize> encodePiboInteract(const PiboInteract& m) {
    Payload<kPiboInteractSize> out{};
    ByteWriter w(out);
    w.u64(m.actorId).u64(m.targetId).u8(m.action).zeros(3);
    return out;
}

Payload<kPiboBreedSize> encodePiboBreed(const PiboBreed& m) {
    Payload<kPiboBreedSize> out{};
    ByteWriter w(out);
    w.u64(m.firstId).u64(m.secondId);
    return out;
}

Payload<kPiboClaimSize> encodePiboClaim(const PiboClaim& m) {
    Payload<kPiboClaimSize> out{};
    ByteWriter w(out);
    w.u64(m.id).u8(m.localSlot).u8(m.accepted).zeros(2);
    return out;
}

Payload<kUdpPlayerStateSize> encodeUdpPlayerState(const UdpPlayerState& m) {
    Payload<kUdpPlayerStateSize> out{};
    ByteWriter w(out);
    w.u32(m.playerId).u64(m.udpToken);
    writeRecord(w, m.record);
    return out;
}

Payload<kUdpDatagramSize> encodeUdpDatagram(const UdpPlayerState& m, uint32_t sequence) {
    Payload<kUdpDatagramSize> out{};
    const auto header = encodeFrameHeader(static_cast<uint16_t>(MessageType::UdpPlayerState),
                                          kUdpPlayerStateSize, sequence);
    const auto payload = encodeUdpPlayerState(m);
    std::memcpy(out.data(), header.data(), header.size());
    std::memcpy(out.data() + header.size(), payload.data(), payload.size());
    return out;
}

// ---- Parsers ------------------------------------------------------------

std::optional<Welcome> decodeWelcome(std::span<const uint8_t> payload) {
    return parseExactly<Welcome>(payload, kWelcomeSize, [](ByteReader& r, auto& m) {
        m.playerId = r.u32();
        m.connectionCount = r.u32();
        m.uptimeMs = r.u32();
        m.rings = r.u32();
        m.udpToken = r.u64();
    });
}

std::optional<PlayerInfo> decodePlayerInfo(std::span<const uint8_t> payload) {
    return parseExactly<PlayerInfo>(payload, kPlayerInfoSize, [](ByteReader& r, auto& m) {
        m.playerId = r.u32();
        readArray(r, m.nameField);
        const auto nameEnd = std::find(m.nameField.begin(), m.nameField.end(), uint8_t{0});
        m.name.assign(m.nameField.begin(), nameEnd);
        m.character = r.u8();
        readArray(r, m.colour);
        m.room = readRoomKey(r);
    });
}

std::optional<uint32_t> decodePlayerLeft(std::span<const uint8_t> payload) {
    return parseExactly<uint32_t>(payload, kPlayerLeftSize,
                                  [](ByteReader& r, auto& m) { m = r.u32(); });
}

std::optional<PlayerStateRecord> decodePlayerState(std::span<const uint8_t> payload) {
    return parseExactly<PlayerStateRecord>(payload, kPlayerStateSize,
                                           [](ByteReader& r, auto& m) { m = readRecord(r); });
}

std::optional<ChatText> decodeChatText(std::span<const uint8_t> payload) {
    return parseExactly<ChatText>(payload, kChatTextSize, [](ByteReader& r, auto& m) {
        m.playerId = r.u32();
        m.text = readText(r, kChatTextFieldSize);
    });
}

std::optional<RoomStatus> decodeRoomStatus(std::span<const uint8_t> payload) {
    return parseExactly<RoomStatus>(payload, kRoomStatusSize, [](ByteReader& r, auto& m) {
        m.members = r.u16();
        m.ready = r.u16();
        m.countdown = r.u8();
        m.mission = r.u8();
        m.reserved = r.u16();
    });
}

std::optional<StageStart> decodeStageStart(std::span<const uint8_t> payload) {
    return parseExactly<StageStart>(payload, kStageStartSize, [](ByteReader& r, auto& m) {
        m.room = readRoomKey(r);
        m.uptimeMs = r.u32();
    });
}

std::optional<std::array<uint8_t, kPongSize>> decodePong(std::span<const uint8_t> payload) {
    using Pong = std::array<uint8_t, kPongSize>;
    return parseExactly<Pong>(payload, kPongSize, [](ByteReader& r, auto& m) { readArray(r, m); });
}

std::optional<Notice> decodeNotice(std::span<const uint8_t> payload) {
    return parseExactly<Notice>(payload, kNoticeSize, [](ByteReader& r, auto& m) {
        m.code = r.u16();
        m.text = readText(r, kNoticeTextSize);
    });
}

std::optional<PiboFeed> decodePiboFeed(std::span<const uint8_t> payload) {
    return parseExactly<PiboFeed>(payload, kPiboFeedSize, [](ByteReader& r, auto& m) {
        m.playerId = r.u32();
        m.ownerPlayerId = r.u32();
        m.fruit = static_cast<int8_t>(r.u8());
        readArray(r, m.extra);
    });
}

std::optional<StageFinishedResult> decodeStageFinishedResult(std::span<const uint8_t> payload) {
    const auto fill = [](ByteReader& r, auto& m) {
        m.playerId = r.u32();
        m.result = r.u32();
        m.ringsAwarded = r.u32();
        m.rings = r.u32();
        m.finishedCount = r.u16();
        m.memberCount = r.u16();
        m.place = r.u8();
        r.skip(3);
    };
    return parseExactly<StageFinishedResult>(payload, kStageFinishedResultSize, fill);
}

std::optional<StageEnded> decodeStageEnded(std::span<const uint8_t> payload) {
    return parseExactly<StageEnded>(payload, kStageEndedSize, [](ByteReader& r, auto& m) {
        m.room = readRoomKey(r);
        m.endCode = r.u32();
    });
}

std::optional<CompletedSave> decodeCompletedSave(std::span<const uint8_t> payload) {
    return parseExactly<CompletedSave>(payload, kCompletedSaveSize, [](ByteReader& r, auto& m) {
        m.hash = r.u32();
        readArray(r, m.data);
    });
}

std::optional<PlayerEvent> decodePlayerEvent(std::span<const uint8_t> payload) {
    return parseExactly<PlayerEvent>(payload, kPlayerEventSize, [](ByteReader& r, auto& m) {
        m.playerId = r.u32();
        m.kind = r.u8();
        readArray(r, m.detail);
        m.value = r.u32();
        m.extra = r.u32();
    });
}

std::optional<BuyFruitResult> decodeBuyFruitResult(std::span<const uint8_t> payload) {
    return parseExactly<BuyFruitResult>(payload, kBuyFruitResultSize, [](ByteReader& r, auto& m) {
        m.fruit = r.u8();
        m.bought = r.u8();
        m.price = r.u16();
        m.rings = r.u32();
    });
}

std::optional<PiboAppear> decodePiboAppear(std::span<const uint8_t> payload) {
    return parseExactly<PiboAppear>(payload, kPiboAppearSize, [](ByteReader& r, auto& m) {
        m.id = r.u64();
        m.holderPlayerId = r.u32();
        m.room = readRoomKey(r);
        m.localSlot = r.u8();
        m.stage = r.u8();
        m.present = r.u8();
        m.reserved = r.u8();
        m.name = readText(r, kPiboNameSize);
        readArray(r, m.data);
    });
}

std::optional<PiboState> decodePiboState(std::span<const uint8_t> payload) {
    return parseExactly<PiboState>(payload, kPiboStateSize, [](ByteReader& r, auto& m) {
        m.id = r.u64();
        m.playerId = r.u32();
        m.room = readRoomKey(r);
        m.position = readFloats(r);
        m.further = readFloats(r);
        readArray(r, m.extra);
    });
}

std::optional<PiboRelease> decodePiboRelease(std::span<const uint8_t> payload) {
    return parseExactly<PiboRelease>(payload, kPiboReleaseSize,
                                     [](ByteReader& r, auto& m) { m.id = r.u64(); });
}

std::optional<PiboInteractResult> decodePiboInteractResult(std::span<const uint8_t> payload) {
    const auto fill = [](ByteReader& r, auto& m) {
        m.actorId = r.u64();
        m.targetId = r.u64();
        m.action = r.u8();
        m.allowed = r.u8();
        m.resultCode = r.u16();
    };
    return parseExactly<PiboInteractResult>(payload, kPiboInteractResultSize, fill);
}

std::optional<PiboBred> decodePiboBred(std::span<const uint8_t> payload) {
    return parseExactly<PiboBred>(payload, kPiboBredSize, [](ByteReader& r, auto& m) {
        m.firstId = r.u64();
        m.secondId = r.u64();
        m.firstEggId = r.u64();
        m.secondEggId = r.u64();
        m.firstHolderPlayerId = r.u32();
        m.secondHolderPlayerId = r.u32();
    });
}

std::optional<PiboDelivery> decodePiboDelivery(std::span<const uint8_t> payload) {
    return parseExactly<PiboDelivery>(payload, kPiboDeliverySize, [](ByteReader& r, auto& m) {
        m.id = r.u64();
        m.parentA = r.u64();
        m.parentB = r.u64();
        m.name = readText(r, kPiboNameSize);
        readArray(r, m.data);
    });
}

std::optional<uint64_t> decodeUdpBound(std::span<const uint8_t> payload) {
    return parseExactly<uint64_t>(payload, kUdpBoundSize,
                                  [](ByteReader& r, auto& m) { m = r.u64(); });
}

std::optional<PlayerStateRecord> decodePlayerStateDatagram(std::span<const uint8_t> datagram) {
    if (datagram.size() != kPlayerStateFrameSize) return std::nullopt;
    const auto header = decodeFrameHeader(datagram);
    if (!header || header->type != static_cast<uint16_t>(MessageType::PlayerState) ||
        header->payloadLength != kPlayerStateSize)
        return std::nullopt;
    return decodePlayerState(datagram.subspan(kFrameHeaderSize));
}

// ---- Helpers ------------------------------------------------------------

uint64_t derivePiboId(const ProfileKey& owner, uint8_t slot) {
    constexpr uint64_t kFnvOffsetBasis = 0xCBF29CE484222325ull;
    constexpr uint64_t kFnvPrime = 0x100000001B3ull;
    uint8_t input[kProfileKeySize + 8] = {};
    std::memcpy(input, owner.data(), kProfileKeySize);
    putU64(input + kProfileKeySize, slot);
    uint64_t h = kFnvOffsetBasis;
    for (uint8_t b : input) {
        h ^= b;
        h *= kFnvPrime;
    }
    return (h & ~(1ull << 63)) | 1ull;
}

}  // namespace karst::client
