// Movement, event and ping traffic over TCP: each report is checked, rate
// limited per player, stamped with the sender's id and relayed to the other
// members of the sender's room; nothing else in the payload is changed.
//
// Relayed frames are built once on the stack and shared by every recipient, so
// the busiest messages cost no allocation beyond the recipients' queues.
#include <array>
#include <cstring>

#include "app/game_server.h"
#include "game/player_state.h"
#include "net/clock.h"
#include "net/coding.h"

namespace karst {

bool GameServer::handlePlayerState(ClientConnection& connection, std::span<const uint8_t> payload) {
    std::array<uint8_t, kPlayerStateSize> record;
    std::memcpy(record.data(), payload.data(), record.size());
    if (!stateFloatsValid(record)) return false;
    // A record for another room was usually sent just before a JoinRoom took
    // effect; it is stale rather than malformed.
    if (stateRoomKey(record) != connection.roomKey) return true;
    if (!claimRateSlot(connection.lastPlayerStateNs, monotonicNowNs(), kPlayerStateSpacingNs))
        return true;
    stampStatePlayerId(record, connection.playerId);
    relayStateToRoom(*connection.roomMembers, record, connection.playerId);
    ++traffic_.movementRelayedTcp;
    return true;
}

bool GameServer::handlePlayerEvent(ClientConnection& connection, std::span<const uint8_t> payload) {
    std::array<uint8_t, kPlayerEventSize> event;
    std::memcpy(event.data(), payload.data(), event.size());
    if (!playerEventValid(event)) return false;
    uint64_t& slot = connection.eventSlotNs[event[kEventKindOffset]];
    if (!claimRateSlot(slot, monotonicNowNs(), kPlayerEventSpacingNs)) return true;
    putU32(event.data() + kEventPlayerIdOffset, connection.playerId);
    std::array<uint8_t, kFrameHeaderSize + kPlayerEventSize> frame;
    writeFrame(frame.data(), MessageType::PlayerEvent, event, nextSequence_++);
    broadcastToRoom(connection.roomKey, frame, connection.playerId);
    return true;
}

bool GameServer::handlePing(ClientConnection& connection, std::span<const uint8_t> payload) {
    sendMessage(connection, MessageType::Pong, payload.first(kPongSize));
    return true;
}

}  // namespace karst
