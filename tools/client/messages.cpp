// Builders and parsers for every message of the client protocol.
//
// Each layout is one list of fields in wire order; `Put` writes such a list and
// `Get` fills it, so a message relayed both ways has its layout written once.
// The static_asserts tie the field widths to the catalogue's payload sizes, and
// every parser also checks that it consumed exactly the payload it was given.
#include "client/messages.h"

#include "common/wire.h"

#include <algorithm>
#include <type_traits>

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

// A zero-padded text field: at most `width` bytes written, read up to its first zero.
template <class S>
struct Text {
    S& text;
    size_t width;
};
template <class S>
Text(S&, size_t) -> Text<S>;
// Bytes the layout keeps zero.
struct Zeros {
    size_t count;
};

constexpr auto recordFields = [](auto& io, auto& m) {
    io(m.playerId, m.room, m.position, m.velocity, m.yaw, m.opaque, m.timeMs);
};

class Put {
public:
    explicit Put(std::span<uint8_t> out) : w_(out) {}
    template <class... Fields>
    void operator()(const Fields&... fields) { (put(fields), ...); }

private:
    void put(uint8_t v) { w_.u8(v); }
    void put(int8_t v) { w_.u8(static_cast<uint8_t>(v)); }
    void put(uint16_t v) { w_.u16(v); }
    void put(uint32_t v) { w_.u32(v); }
    void put(int32_t v) { w_.i32(v); }
    void put(uint64_t v) { w_.u64(v); }
    void put(float v) { w_.f32(v); }
    template <class T, size_t N>
    void put(const std::array<T, N>& values) {
        if constexpr (std::is_same_v<T, uint8_t>) w_.bytes(values.data(), N);
        else for (const T& v : values) put(v);
    }
    // level i16, act i8, mission u8, instance u32
    void put(const RoomKey& room) {
        w_.u16(static_cast<uint16_t>(room.level)).u8(static_cast<uint8_t>(room.act));
        w_.u8(room.mission).u32(room.instance);
    }
    template <class S>
    void put(const Text<S>& t) { w_.text(t.text, t.width); }
    void put(Zeros z) { w_.zeros(z.count); }
    void put(const PlayerStateRecord& m) { recordFields(*this, m); }

    tools::WireWriter w_;
};

class Get {
public:
    explicit Get(std::span<const uint8_t> in) : r_(in) {}
    template <class... Fields>
    void operator()(Fields&&... fields) { (get(fields), ...); }
    // Every field read and nothing left over.
    bool exact() const { return r_.ok() && r_.remaining() == 0; }

private:
    void get(uint8_t& v) { v = r_.u8(); }
    void get(int8_t& v) { v = static_cast<int8_t>(r_.u8()); }
    void get(uint16_t& v) { v = r_.u16(); }
    void get(uint32_t& v) { v = r_.u32(); }
    void get(int32_t& v) { v = r_.i32(); }
    void get(uint64_t& v) { v = r_.u64(); }
    void get(float& v) { v = r_.f32(); }
    template <class T, size_t N>
    void get(std::array<T, N>& values) {
        if constexpr (std::is_same_v<T, uint8_t>) r_.bytes(values.data(), N);
        else for (T& v : values) get(v);
    }
    void get(RoomKey& room) {
        room.level = static_cast<int16_t>(r_.u16());
        room.act = static_cast<int8_t>(r_.u8());
        room.mission = r_.u8();
        room.instance = r_.u32();
    }
    void get(Text<std::string>& t) { t.text = r_.text(t.width); }
    void get(Zeros& z) { r_.skip(z.count); }
    void get(PlayerStateRecord& m) { recordFields(*this, m); }

    tools::WireReader r_;
};

template <size_t N, class M, class Fields>
Payload<N> encode(const M& m, Fields fields) {
    Payload<N> out{};
    Put put(out);
    fields(put, m);
    return out;
}

template <size_t N, class... Fields>
Payload<N> encodeFields(const Fields&... fields) {
    Payload<N> out{};
    Put{out}(fields...);
    return out;
}

// Exactly `size` bytes, every one of them consumed by `fields`.
template <class M, class Fields>
std::optional<M> decode(std::span<const uint8_t> payload, size_t size, Fields fields) {
    if (payload.size() != size) return std::nullopt;
    Get get(payload);
    M m{};
    fields(get, m);
    if (!get.exact()) return std::nullopt;
    return m;
}

// ---- Layouts of the messages relayed both ways ---------------------------

constexpr auto chatFields = [](auto& io, auto& m) {
    io(m.playerId, Text{m.text, kChatTextFieldSize});
};
constexpr auto feedFields = [](auto& io, auto& m) {
    io(m.playerId, m.ownerPlayerId, m.fruit, m.extra);
};
constexpr auto eventFields = [](auto& io, auto& m) {
    io(m.playerId, m.kind, m.detail, m.value, m.extra);
};
constexpr auto piboStateFields = [](auto& io, auto& m) {
    io(m.id, m.playerId, m.room, m.position, m.further, m.extra);
};
constexpr auto releaseFields = [](auto& io, auto& m) { io(m.id); };

}  // namespace

// ---- Builders -----------------------------------------------------------

Payload<kHelloSize> encodeHello(const Hello& m) {
    return encodeFields<kHelloSize>(Text{m.name, kNameFieldSize}, m.character, m.colour, Zeros{4},
                                    m.profileKey);
}

Payload<kSetCharacterSize> encodeSetCharacter(const SetCharacter& m) {
    return encodeFields<kSetCharacterSize>(Text{m.name, kNameFieldSize}, m.character, m.colour);
}

Payload<kJoinRoomSize> encodeJoinRoom(const RoomKey& room) {
    return encodeFields<kJoinRoomSize>(room);
}

Payload<kPlayerStateSize> encodePlayerState(const PlayerStateRecord& m) {
    return encode<kPlayerStateSize>(m, recordFields);
}

Payload<kChatTextSize> encodeChatText(const ChatText& m) {
    return encode<kChatTextSize>(m, chatFields);
}

Payload<kSetReadySize> encodeSetReady(uint8_t ready) { return {ready}; }

Payload<kPingSize> encodePing(const std::array<uint8_t, kPingSize>& bytes) { return bytes; }

Payload<kPiboFeedSize> encodePiboFeed(const PiboFeed& m) {
    return encode<kPiboFeedSize>(m, feedFields);
}

Payload<kStageFinishedSize> encodeStageFinished(const StageFinished& m) {
    return encodeFields<kStageFinishedSize>(m.room, m.result, m.unused);
}

Payload<kPlayerEventSize> encodePlayerEvent(const PlayerEvent& m) {
    return encode<kPlayerEventSize>(m, eventFields);
}

Payload<kBuyFruitSize> encodeBuyFruit(int8_t fruit) {
    return {static_cast<uint8_t>(fruit), 0, 0, 0};
}

Payload<kPiboRegisterSize> encodePiboRegister(const PiboRegister& m) {
    return encodeFields<kPiboRegisterSize>(m.id, m.room, m.localSlot, m.stage, Zeros{2},
                                           Text{m.name, kPiboNameSize}, m.data);
}

Payload<kPiboStateSize> encodePiboState(const PiboState& m) {
    return encode<kPiboStateSize>(m, piboStateFields);
}

Payload<kPiboReleaseSize> encodePiboRelease(const PiboRelease& m) {
    return encode<kPiboReleaseSize>(m, releaseFields);
}

Payload<kPiboInteractSize> encodePiboInteract(const PiboInteract& m) {
    return encodeFields<kPiboInteractSize>(m.actorId, m.targetId, m.action, Zeros{3});
}

Payload<kPiboBreedSize> encodePiboBreed(const PiboBreed& m) {
    return encodeFields<kPiboBreedSize>(m.firstId, m.secondId);
}

Payload<kPiboClaimSize> encodePiboClaim(const PiboClaim& m) {
    return encodeFields<kPiboClaimSize>(m.id, m.localSlot, m.accepted, Zeros{2});
}

Payload<kUdpPlayerStateSize> encodeUdpPlayerState(const UdpPlayerState& m) {
    return encodeFields<kUdpPlayerStateSize>(m.playerId, m.udpToken, m.record);
}

Payload<kUdpDatagramSize> encodeUdpDatagram(const UdpPlayerState& m, uint32_t sequence) {
    const auto header = encodeFrameHeader(static_cast<uint16_t>(MessageType::UdpPlayerState),
                                          kUdpPlayerStateSize, sequence);
    return encodeFields<kUdpDatagramSize>(header, encodeUdpPlayerState(m));
}

// ---- Parsers ------------------------------------------------------------

std::optional<Welcome> decodeWelcome(std::span<const uint8_t> payload) {
    return decode<Welcome>(payload, kWelcomeSize, [](Get& in, Welcome& m) {
        in(m.playerId, m.connectionCount, m.uptimeMs, m.rings, m.udpToken);
    });
}

std::optional<PlayerInfo> decodePlayerInfo(std::span<const uint8_t> payload) {
    return decode<PlayerInfo>(payload, kPlayerInfoSize, [](Get& in, PlayerInfo& m) {
        in(m.playerId, m.nameField, m.character, m.colour, m.room);
        m.name.assign(m.nameField.begin(), std::find(m.nameField.begin(), m.nameField.end(), 0));
    });
}

std::optional<uint32_t> decodePlayerLeft(std::span<const uint8_t> payload) {
    return decode<uint32_t>(payload, kPlayerLeftSize, [](Get& in, uint32_t& id) { in(id); });
}

std::optional<PlayerStateRecord> decodePlayerState(std::span<const uint8_t> payload) {
    return decode<PlayerStateRecord>(payload, kPlayerStateSize, recordFields);
}

std::optional<ChatText> decodeChatText(std::span<const uint8_t> payload) {
    return decode<ChatText>(payload, kChatTextSize, chatFields);
}

std::optional<RoomStatus> decodeRoomStatus(std::span<const uint8_t> payload) {
    return decode<RoomStatus>(payload, kRoomStatusSize, [](Get& in, RoomStatus& m) {
        in(m.members, m.ready, m.countdown, m.mission, m.reserved);
    });
}

std::optional<StageStart> decodeStageStart(std::span<const uint8_t> payload) {
    return decode<StageStart>(payload, kStageStartSize,
                              [](Get& in, StageStart& m) { in(m.room, m.uptimeMs); });
}

std::optional<std::array<uint8_t, kPongSize>> decodePong(std::span<const uint8_t> payload) {
    using Pong = std::array<uint8_t, kPongSize>;
    return decode<Pong>(payload, kPongSize, [](Get& in, Pong& m) { in(m); });
}

std::optional<Notice> decodeNotice(std::span<const uint8_t> payload) {
    return decode<Notice>(payload, kNoticeSize,
                          [](Get& in, Notice& m) { in(m.code, Text{m.text, kNoticeTextSize}); });
}

std::optional<PiboFeed> decodePiboFeed(std::span<const uint8_t> payload) {
    return decode<PiboFeed>(payload, kPiboFeedSize, feedFields);
}

std::optional<StageFinishedResult> decodeStageFinishedResult(std::span<const uint8_t> payload) {
    return decode<StageFinishedResult>(payload, kStageFinishedResultSize,
                                       [](Get& in, StageFinishedResult& m) {
        in(m.playerId, m.result, m.ringsAwarded, m.rings, m.finishedCount, m.memberCount, m.place,
           Zeros{3});
    });
}

std::optional<StageEnded> decodeStageEnded(std::span<const uint8_t> payload) {
    return decode<StageEnded>(payload, kStageEndedSize,
                              [](Get& in, StageEnded& m) { in(m.room, m.endCode); });
}

std::optional<CompletedSave> decodeCompletedSave(std::span<const uint8_t> payload) {
    return decode<CompletedSave>(payload, kCompletedSaveSize,
                                 [](Get& in, CompletedSave& m) { in(m.hash, m.data); });
}

std::optional<PlayerEvent> decodePlayerEvent(std::span<const uint8_t> payload) {
    return decode<PlayerEvent>(payload, kPlayerEventSize, eventFields);
}

std::optional<BuyFruitResult> decodeBuyFruitResult(std::span<const uint8_t> payload) {
    return decode<BuyFruitResult>(payload, kBuyFruitResultSize, [](Get& in, BuyFruitResult& m) {
        in(m.fruit, m.bought, m.price, m.rings);
    });
}

std::optional<PiboAppear> decodePiboAppear(std::span<const uint8_t> payload) {
    return decode<PiboAppear>(payload, kPiboAppearSize, [](Get& in, PiboAppear& m) {
        in(m.id, m.holderPlayerId, m.room, m.localSlot, m.stage, m.present, m.reserved,
           Text{m.name, kPiboNameSize}, m.data);
    });
}

std::optional<PiboState> decodePiboState(std::span<const uint8_t> payload) {
    return decode<PiboState>(payload, kPiboStateSize, piboStateFields);
}

std::optional<PiboRelease> decodePiboRelease(std::span<const uint8_t> payload) {
    return decode<PiboRelease>(payload, kPiboReleaseSize, releaseFields);
}

std::optional<PiboInteractResult> decodePiboInteractResult(std::span<const uint8_t> payload) {
    return decode<PiboInteractResult>(payload, kPiboInteractResultSize,
                                      [](Get& in, PiboInteractResult& m) {
        in(m.actorId, m.targetId, m.action, m.allowed, m.resultCode);
    });
}

std::optional<PiboBred> decodePiboBred(std::span<const uint8_t> payload) {
    return decode<PiboBred>(payload, kPiboBredSize, [](Get& in, PiboBred& m) {
        in(m.firstId, m.secondId, m.firstEggId, m.secondEggId, m.firstHolderPlayerId,
           m.secondHolderPlayerId);
    });
}

std::optional<PiboDelivery> decodePiboDelivery(std::span<const uint8_t> payload) {
    return decode<PiboDelivery>(payload, kPiboDeliverySize, [](Get& in, PiboDelivery& m) {
        in(m.id, m.parentA, m.parentB, Text{m.name, kPiboNameSize}, m.data);
    });
}

std::optional<uint64_t> decodeUdpBound(std::span<const uint8_t> payload) {
    return decode<uint64_t>(payload, kUdpBoundSize, [](Get& in, uint64_t& token) { in(token); });
}

std::optional<PlayerStateRecord> decodePlayerStateDatagram(std::span<const uint8_t> datagram) {
    if (datagram.size() != kPlayerStateFrameSize) return std::nullopt;
    const auto header = decodeFrameHeader(datagram);
    if (!header || header->type != static_cast<uint16_t>(MessageType::PlayerState) ||
        header->payloadLength != kPlayerStateSize)
        return std::nullopt;
    return decodePlayerState(datagram.subspan(kFrameHeaderSize));
}

}  // namespace karst::client
