// The garden: registering creatures into a room, relaying their states, their
// release, feeding, interactions and claims, plus the hooks that room changes,
// disconnects and the handshake call.
//
// A record "belongs" to a connection when its owner equals the connection's
// profileKey. Presence (holder, room, state) is never saved; piboPresence_ lists
// every present record under its room and is kept in step wherever presence changes.
#include <cstring>
#include <vector>

#include "app/game_server.h"
#include "net/client_messages.h"
#include "garden/pibo_messages.h"
#include "net/clock.h"
#include "net/coding.h"

namespace karst {

namespace {

// Player ids start at 1, so excluding id 0 reaches every member.
constexpr uint64_t kPiboStateIntervalNs = 15 * kNsPerMs;

size_t positionOf(const PiboStore& store, const PiboRecord& record) {
    return static_cast<size_t>(&record - store.records().data());
}

void markAbsent(PiboPresence& presence, const PiboStore& store, PiboRecord& record) {
    if (record.present != 0) presence.remove(record.room, positionOf(store, record));
    record.present = 0;
    record.holderPlayerId = 0;
    record.room = kNoRoom;
    record.hasState = 0;
}

bool slotTakenByProfile(const PiboStore& store, const ProfileKey& owner, uint8_t slot) {
    for (const PiboRecord& record : store.records())
        if (record.owner == owner && record.localSlot == slot) return true;
    return false;
}

}  // namespace

bool GameServer::handlePiboRegister(ClientConnection& connection,
                                    std::span<const uint8_t> payload) {
    const PiboRegisterRequest request = decodePiboRegister(payload);
    if (!isGardenLevel(connection.roomKey.level) || request.room != connection.roomKey ||
        !isConsistentRegistration(request))
        return false;
    std::array<uint8_t, kPiboNameSize> name = request.name;
    sanitizePiboName(name);

    PiboRecord* record = piboStore_.find(request.id);
    if (record != nullptr && record->owner != connection.profileKey) {
        sendNotice(connection, NoticeCode::SlowDownOrOwnership,
                   "Only the owning profile can register this Pibo");
        return true;
    }
    if (record == nullptr) {
        if (request.id != derivePiboId(connection.profileKey, request.localSlot)) {
            sendNotice(connection, NoticeCode::SlowDownOrOwnership,
                       "That Pibo ID is not owned by this profile");
            return true;
        }
        if (slotTakenByProfile(piboStore_, connection.profileKey, request.localSlot)) {
            sendNotice(connection, NoticeCode::SlowDownOrOwnership,
                       "That local Pibo slot already has an owner record");
            return true;
        }
        (void)piboStore_.insert(makeFreshPiboRecord(request.id, connection.profileKey));
        record = piboStore_.find(request.id);  // insert may have moved every record
    }

    // Re-registering a present creature keeps its last state; only its listing moves.
    if (record->present != 0) piboPresence_.remove(record->room, positionOf(piboStore_, *record));
    record->holderPlayerId = connection.playerId;
    record->room = connection.roomKey;
    std::memcpy(record->data.data(), request.data.data(), kPiboDataSize);
    record->localSlot = request.localSlot;
    record->stage = request.stage;
    record->present = 1;
    record->name = name;
    record->pendingDelivery = 0;
    piboPresence_.add(record->room, positionOf(piboStore_, *record));

    std::array<uint8_t, kPiboAppearSize> appear;
    encodePiboAppear(appear.data(), *record);
    broadcastMessage(connection.roomKey, MessageType::PiboAppear, appear, kExcludeNobody);
    notePiboChange(request.id);
    return true;
}

bool GameServer::handlePiboState(ClientConnection& connection, std::span<const uint8_t> payload) {
    const auto state = payload.first<kPiboStateSize>();
    if (!hasValidPiboStateFloats(state)) return false;
    const PiboStateMessage message = decodePiboState(state);
    PiboRecord* record = piboStore_.find(message.id);
    if (record == nullptr || record->owner != connection.profileKey || record->present != 1 ||
        record->room != connection.roomKey || message.room != connection.roomKey)
        return true;
    const uint64_t now = monotonicNowNs();
    if (record->lastStateNs != 0 && !elapsedAtLeast(now, record->lastStateNs, kPiboStateIntervalNs))
        return true;

    record->lastStateNs = now;
    std::memcpy(record->lastState.data(), state.data(), kPiboStateSize);
    putU32(record->lastState.data() + kPiboStatePlayerOffset, connection.playerId);
    record->hasState = 1;
    broadcastMessage(connection.roomKey, MessageType::PiboState, record->lastState,
                     connection.playerId);
    return true;
}

bool GameServer::handlePiboRelease(ClientConnection& connection, std::span<const uint8_t> payload) {
    const uint64_t id = decodePiboRelease(payload);
    PiboRecord* record = piboStore_.find(id);
    if (record == nullptr || record->owner != connection.profileKey || record->present != 1)
        return true;
    broadcastMessage(connection.roomKey, MessageType::PiboRelease, encodePiboRelease(id),
                     connection.playerId);
    markAbsent(piboPresence_, piboStore_, *record);
    return true;
}

bool GameServer::handlePiboFeed(ClientConnection& connection, std::span<const uint8_t> payload) {
    const PiboFeedMessage feed = decodePiboFeed(payload);
    const int8_t fruit = feed.fruit;
    if (fruitPrice(fruit) == 0) return false;
    // A connection that has not said Hello is nobody's player and has no creatures.
    const ClientConnection* owner = findConnectionByPlayerId(feed.ownerPlayerId);
    if (owner == nullptr || !owner->authenticated || owner->roomKey != connection.roomKey) {
        sendNotice(connection, NoticeCode::PiboOwnerNotNearby,
                   "That Pibo owner is no longer nearby");
        return true;
    }
    uint16_t& held = connection.serverInventory[static_cast<size_t>(fruit)];
    if (held == 0) {
        sendNotice(connection, NoticeCode::FruitNotInInventory,
                   "That fruit is not in your server inventory");
        return true;
    }
    --held;
    updateProfile(connection);
    broadcastMessage(connection.roomKey, MessageType::PiboFeed,
                     encodePiboFeedEcho(connection.playerId, payload), kExcludeNobody);
    return true;
}

bool GameServer::handlePiboInteract(ClientConnection& connection,
                                    std::span<const uint8_t> payload) {
    const auto [actorId, targetId, action] = decodePiboInteract(payload);
    if (action < kFirstPiboAction || action > kCreatureToCreatureAction) return false;

    const auto presentHere = [&](const PiboRecord* record) {
        return record != nullptr && record->present == 1 && record->room == connection.roomKey;
    };
    const PiboRecord* target = piboStore_.find(targetId);
    const PiboRecord* actor = actorId == 0 ? nullptr : piboStore_.find(actorId);
    PiboInteractCode code = PiboInteractCode::Allowed;
    if (!presentHere(target)) {
        code = PiboInteractCode::TargetNotHere;
    } else if (actorId == 0) {
        if (target->owner != connection.profileKey || action == kCreatureToCreatureAction)
            code = PiboInteractCode::NotPermitted;
    } else if (!presentHere(actor) || actor->owner != connection.profileKey ||
               action != kCreatureToCreatureAction) {
        code = PiboInteractCode::InvalidActor;
    }

    const auto result = encodePiboInteractResult(actorId, targetId, action, code);
    if (code == PiboInteractCode::Allowed && actorId != 0)
        broadcastMessage(connection.roomKey, MessageType::PiboInteractResult, result,
                         kExcludeNobody);
    else
        sendMessage(connection, MessageType::PiboInteractResult, result);
    return true;
}

bool GameServer::handlePiboClaim(ClientConnection& connection, std::span<const uint8_t> payload) {
    const PiboClaimMessage claim = decodePiboClaim(payload);
    PiboRecord* record = piboStore_.find(claim.id);
    if (record == nullptr || record->owner != connection.profileKey || !claim.accepted ||
        claim.localSlot >= kLocalSlotCount)
        return true;
    record->pendingDelivery = 0;
    record->localSlot = claim.localSlot;
    notePiboChange(claim.id);
    return true;
}

void GameServer::deliverPendingPibo(ClientConnection& connection) {
    std::array<uint8_t, kPiboDeliverySize> delivery;
    for (const PiboRecord& record : piboStore_.records()) {
        if (record.pendingDelivery == 0 || record.owner != connection.profileKey) continue;
        encodePiboDelivery(delivery.data(), record);
        sendMessage(connection, MessageType::PiboDelivery, delivery);
    }
}

void GameServer::releaseHeldPibo(ClientConnection& connection, const RoomKey& room) {
    std::vector<size_t> held;  // collected first: releasing edits the room's list
    const std::span<PiboRecord> records = piboStore_.records();
    for (const size_t position : piboPresence_.inRoom(room))
        if (records[position].holderPlayerId == connection.playerId) held.push_back(position);
    for (const size_t position : held) {
        PiboRecord& record = records[position];
        broadcastMessage(room, MessageType::PiboRelease, encodePiboRelease(record.id),
                         connection.playerId);
        markAbsent(piboPresence_, piboStore_, record);
    }
}

void GameServer::sendGardenSnapshot(ClientConnection& connection) {
    if (!isGardenLevel(connection.roomKey.level)) return;
    std::array<uint8_t, kPiboAppearSize> appear;
    const std::span<const PiboRecord> records = piboStore_.records();
    for (const size_t position : piboPresence_.inRoom(connection.roomKey)) {
        const PiboRecord& record = records[position];
        encodePiboAppear(appear.data(), record);
        sendMessage(connection, MessageType::PiboAppear, appear);
        if (record.hasState == 1) sendMessage(connection, MessageType::PiboState, record.lastState);
    }
}


}  // namespace karst
