// Encoders of every server-to-client message that the server composes. Relayed
// messages (PlayerState, PlayerEvent, ChatText, PiboState) are the sender's
// payload stamped in place by their handlers; Notice is built by makeNotice
// (net/frame.h). Integers little-endian through net/coding.h.
#include "net/server_messages.h"

#include <cstring>

#include "game/stage_rules.h"
#include "net/coding.h"

namespace karst {

static_assert(kWelcomeSize == 4 * 4 + 8);
static_assert(kPlayerInfoSize == 4 + kPlayerNameSize + 1 + kColourSize + kRoomKeySize);
static_assert(kCompletedSaveSize == 4 + kCompletedSaveFileSize);

std::array<uint8_t, kWelcomeSize> encodeWelcome(const Welcome& welcome) {
    std::array<uint8_t, kWelcomeSize> out{};
    ByteWriter(out)
        .u32(welcome.playerId)
        .u32(welcome.connections)
        .u32(welcome.uptimeMs)
        .u32(welcome.rings)
        .u64(welcome.udpToken);
    return out;
}

std::array<uint8_t, kPlayerLeftSize> encodePlayerLeft(uint32_t playerId) {
    std::array<uint8_t, kPlayerLeftSize> out{};
    putU32(out.data(), playerId);
    return out;
}

void encodeCompletedSave(uint8_t* out, uint32_t hash, std::span<const uint8_t, kCompletedSaveFileSize> file) {
    putU32(out, hash);
    std::memcpy(out + 4, file.data(), file.size());
}

std::array<uint8_t, kUdpBoundSize> encodeUdpBound(uint64_t udpToken) {
    std::array<uint8_t, kUdpBoundSize> out{};
    putU64(out.data(), udpToken);
    return out;
}

std::array<uint8_t, kPlayerInfoSize> encodePlayerInfo(uint32_t playerId,
                                                      const PlayerName& name,
                                                      uint8_t character,
                                                      const Colour& colour,
                                                      const RoomKey& room) {
    std::array<uint8_t, kPlayerInfoSize> out{};
    ByteWriter w(out);
    w.u32(playerId).bytes(name.data(), name.size()).u8(character).bytes(colour.data(), 3);
    encodeRoomKey(out.data() + w.position(), room);
    return out;
}

std::array<uint8_t, kRoomStatusSize> encodeRoomStatus(size_t members, size_t ready,
                                                      uint8_t countdown, uint8_t mission) {
    std::array<uint8_t, kRoomStatusSize> out{};
    // Counts above 65,535 wrap, as the field is only 16 bits wide.
    ByteWriter(out)
        .u16(static_cast<uint16_t>(members))
        .u16(static_cast<uint16_t>(ready))
        .u8(countdown)
        .u8(mission)
        .u16(0);
    return out;
}

std::array<uint8_t, kStageStartSize> encodeStageStart(const RoomKey& key, uint32_t uptimeMs) {
    static_assert(kStageStartSize == kRoomKeySize + 4);
    std::array<uint8_t, kStageStartSize> out{};
    encodeRoomKey(out.data(), key);
    putU32(out.data() + kRoomKeySize, uptimeMs);
    return out;
}

std::array<uint8_t, kStageFinishedResultSize> encodeStageFinishedResult(const FinishReport& report) {
    static_assert(kStageFinishedResultSize == 4 * 4 + 2 * 2 + 1 + 3);
    std::array<uint8_t, kStageFinishedResultSize> out{};
    ByteWriter(out)
        .u32(report.playerId)
        .u32(report.result)
        .u32(report.reward)
        .u32(report.rings)
        .u16(static_cast<uint16_t>(report.finishedCount))
        .u16(static_cast<uint16_t>(report.memberCount))
        .u8(report.place)
        .zeros(3);
    return out;
}

std::array<uint8_t, kStageEndedSize> encodeStageEnded(const RoomKey& key) {
    static_assert(kStageEndedSize == kRoomKeySize + 4);
    std::array<uint8_t, kStageEndedSize> out{};
    encodeRoomKey(out.data(), key);
    putU32(out.data() + kRoomKeySize, kStageEndedCode);
    return out;
}

std::array<uint8_t, kBuyFruitResultSize> encodeBuyFruitResult(int8_t fruit, bool bought,
                                                              uint32_t price, uint32_t rings) {
    static_assert(kBuyFruitResultSize == 1 + 1 + 2 + 4);
    std::array<uint8_t, kBuyFruitResultSize> out{};
    ByteWriter(out)
        .u8(static_cast<uint8_t>(fruit))
        .u8(bought ? 1 : 0)
        .u16(static_cast<uint16_t>(price))
        .u32(rings);
    return out;
}

void encodePiboAppear(uint8_t* out, const PiboRecord& record) {
    ByteWriter w({out, kPiboAppearSize});
    uint8_t room[kRoomKeySize];
    encodeRoomKey(room, record.room);
    w.u64(record.id).u32(record.holderPlayerId).bytes(room, sizeof room);
    w.u8(record.localSlot).u8(record.stage).u8(record.present).u8(0);
    w.bytes(record.name.data(), kPiboNameSize).bytes(record.data.data(), kPiboDataSize);
}

void encodePiboDelivery(uint8_t* out, const PiboRecord& record) {
    ByteWriter w({out, kPiboDeliverySize});
    w.u64(record.id).u64(record.parentA).u64(record.parentB);
    w.bytes(record.name.data(), kPiboNameSize).bytes(record.data.data(), kPiboDataSize);
}

std::array<uint8_t, kPiboReleaseSize> encodePiboRelease(uint64_t id) {
    std::array<uint8_t, kPiboReleaseSize> out;
    putU64(out.data(), id);
    return out;
}

std::array<uint8_t, kPiboFeedSize> encodePiboFeedEcho(uint32_t feederId,
                                                      std::span<const uint8_t> request) {
    std::array<uint8_t, kPiboFeedSize> out;
    putU32(out.data(), feederId);
    std::memcpy(out.data() + kFeedOwnerOffset, request.data() + kFeedOwnerOffset,
                kPiboFeedSize - kFeedOwnerOffset);
    return out;
}

std::array<uint8_t, kPiboInteractResultSize> encodePiboInteractResult(uint64_t actorId,
                                                                      uint64_t targetId,
                                                                      uint8_t action,
                                                                      PiboInteractCode code) {
    std::array<uint8_t, kPiboInteractResultSize> out;
    const bool allowed = code == PiboInteractCode::Allowed;
    ByteWriter(out)
        .u64(actorId)
        .u64(targetId)
        .u8(action)
        .u8(allowed ? 1 : 0)
        .u16(static_cast<uint16_t>(code));
    return out;
}

std::array<uint8_t, kPiboBredSize> encodePiboBred(const PiboBredNews& news) {
    std::array<uint8_t, kPiboBredSize> out;
    ByteWriter(out)
        .u64(news.firstId)
        .u64(news.secondId)
        .u64(news.firstEggId)
        .u64(news.secondEggId)
        .u32(news.firstHolderId)
        .u32(news.secondHolderId);
    return out;
}

}  // namespace karst
