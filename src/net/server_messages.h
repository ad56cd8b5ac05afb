// Every server-to-client message the server composes, each with one encoder:
// handlers build payloads here and queue them with sendMessage/broadcastMessage.
//
// The exact sizes are the catalogue's (net/protocol.h); docs/protocol.md lays
// out each payload. Relayed messages are the sender's own payload stamped in
// place by their handlers, and Notice has makeNotice (net/frame.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "game/catalogue.h"
#include "game/room_key.h"
#include "garden/pibo_store.h"
#include "net/protocol.h"

namespace karst {

struct Welcome {
    uint32_t playerId = 0;
    uint32_t connections = 0;  // open TCP connections, this one included
    uint32_t uptimeMs = 0;
    uint32_t rings = 0;
    uint64_t udpToken = 0;
};
std::array<uint8_t, kWelcomeSize> encodeWelcome(const Welcome& welcome);

std::array<uint8_t, kPlayerInfoSize> encodePlayerInfo(uint32_t playerId, const PlayerName& name,
                                                      uint8_t character, const Colour& colour,
                                                      const RoomKey& room);
std::array<uint8_t, kPlayerLeftSize> encodePlayerLeft(uint32_t playerId);
// The file's FNV-1a hash, then its 1392 bytes.
void encodeCompletedSave(uint8_t* out, uint32_t hash, std::span<const uint8_t, kCompletedSaveFileSize> file);
std::array<uint8_t, kUdpBoundSize> encodeUdpBound(uint64_t udpToken);

// Rooms and stage runs.
std::array<uint8_t, kRoomStatusSize> encodeRoomStatus(size_t members, size_t ready,
                                                      uint8_t countdown, uint8_t mission);
std::array<uint8_t, kStageStartSize> encodeStageStart(const RoomKey& key, uint32_t uptimeMs);
struct FinishReport {
    uint32_t playerId = 0;
    uint32_t result = 0;
    uint32_t reward = 0;
    uint32_t rings = 0;
    size_t finishedCount = 0;
    size_t memberCount = 0;
    uint8_t place = 0;
};
std::array<uint8_t, kStageFinishedResultSize> encodeStageFinishedResult(const FinishReport& report);
std::array<uint8_t, kStageEndedSize> encodeStageEnded(const RoomKey& key);
std::array<uint8_t, kBuyFruitResultSize> encodeBuyFruitResult(int8_t fruit, bool bought,
                                                              uint32_t price, uint32_t rings);

// The garden.
// The first nine fields of a record, as PiboAppear carries them (kPiboAppearSize bytes).
void encodePiboAppear(uint8_t* out, const PiboRecord& record);
// Id, parents, name and data, as PiboDelivery carries them (kPiboDeliverySize bytes).
void encodePiboDelivery(uint8_t* out, const PiboRecord& record);
std::array<uint8_t, kPiboReleaseSize> encodePiboRelease(uint64_t id);
// The echo of a feeding: the feeder's id, then bytes 4..11 of the request as received.
inline constexpr size_t kFeedOwnerOffset = 4;
std::array<uint8_t, kPiboFeedSize> encodePiboFeedEcho(uint32_t feederId, std::span<const uint8_t> request);
enum class PiboInteractCode : uint16_t {
    Allowed = 0,
    NotPermitted = 1,  // not the owner, or the creature-to-creature action without an actor
    InvalidActor = 2,
    TargetNotHere = 3,
};
std::array<uint8_t, kPiboInteractResultSize> encodePiboInteractResult(uint64_t actorId, uint64_t targetId,
                                                                      uint8_t action, PiboInteractCode code);
struct PiboBredNews {
    uint64_t firstId = 0;
    uint64_t secondId = 0;
    uint64_t firstEggId = 0;
    uint64_t secondEggId = 0;
    uint32_t firstHolderId = 0;
    uint32_t secondHolderId = 0;
};
std::array<uint8_t, kPiboBredSize> encodePiboBred(const PiboBredNews& news);

}  // namespace karst
