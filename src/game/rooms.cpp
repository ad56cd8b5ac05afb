// Rooms: entering hub worlds and stage instances under their rules, what the
// old and new rooms are told, ready flags and the start countdown.
#include <algorithm>
#include <cstring>
#include <string>

#include "app/game_server.h"
#include "net/client_messages.h"
#include "net/server_messages.h"
#include "game/player_info.h"
#include "game/proxies.h"
#include "game/stage_rules.h"
#include "net/clock.h"

namespace karst {

namespace {
size_t countReady(const std::vector<ClientConnection*>& members) {
    return static_cast<size_t>(std::count_if(members.begin(), members.end(),
                                             [](const ClientConnection* m) { return m->ready != 0; }));
}

bool hasCountdown(const std::vector<StartCountdown>& countdowns, const RoomKey& key) {
    return std::any_of(countdowns.begin(), countdowns.end(),
                       [&](const StartCountdown& c) { return c.key == key; });
}
}  // namespace

bool GameServer::handleJoinRoom(ClientConnection& connection, std::span<const uint8_t> payload) {
    const RoomKey key = decodeJoinRoom(payload);
    if (key.level < 0 || key.level > kMaxLevel || key.act < 0 || key.act > kMaxAct || key.mission > kMaxMission)
        return false;
    const bool moving = key != connection.roomKey;
    if (moving && isStartedStageRoom(key)) {
        sendNotice(connection, NoticeCode::StageInProgress, "That stage is already in progress");
        return true;
    }
    if (!stageOpenToCharacter(key.level, connection.character)) {
        sendNotice(connection, NoticeCode::StageNotForCharacter,
                   "This stage is not available for your character");
        return true;
    }
    if (moving && roomMembers(key).size() >= settings_.maxPlayersPerRoom) {
        sendNotice(connection, NoticeCode::InstanceFull, "That instance is full");
        return true;
    }
    joinRoom(connection, key);
    return true;
}

void GameServer::joinRoom(ClientConnection& connection, const RoomKey& key) {
    if (connection.roomKey == key) return;
    const RoomKey oldKey = connection.roomKey;
    if (oldKey.inRoom()) {
        releaseHeldPibo(connection, oldKey);
        broadcastMessage(oldKey, MessageType::PlayerLeft, encodePlayerLeft(connection.playerId),
                         connection.playerId);
    }
    moveToRoom(connection, key);
    if (oldKey.inRoom()) {
        broadcastRoomStatus(oldKey, 0);
        // Leaving a started run frees it as a disconnect would; otherwise a run
        // whose members all walked away would lock its key until a restart.
        releaseStartedRun(oldKey);
    }
    connection.ready = 0;
    connection.finished = 0;
    connection.finishPlace = 0;
    std::erase_if(startCountdowns_, [&](const StartCountdown& c) { return c.key == key; });
    printPlayerEvent("player " + std::to_string(connection.playerId) + " joined room level=" +
                     std::to_string(key.level) + " act=" + std::to_string(key.act) +
                     " mission=" + std::to_string(key.mission) + " instance=" + std::to_string(key.instance));
    for (ClientConnection* member : roomMembers(key)) {
        if (member == &connection) continue;
        sendPlayerInfo(connection, *member);
        sendPlayerInfo(*member, connection);
    }
    if (isCentralPlaza(key) && !proxies_.empty()) {
        auto room = std::find_if(activeHubRooms_.begin(), activeHubRooms_.end(),
                                 [&](const ActiveHubRoom& r) { return r.key == key; });
        if (room == activeHubRooms_.end())
            room = activeHubRooms_.insert(activeHubRooms_.end(),
                                          ActiveHubRoom{key, monotonicNowNs() - kProxyUpdateIntervalNs});
        sendProxiesTo(connection, *room);
    }
    if (isGardenLevel(key.level)) sendGardenSnapshot(connection);
    broadcastRoomStatus(key, 0);
}

bool GameServer::handleSetCharacter(ClientConnection& connection, std::span<const uint8_t> payload) {
    PlayerInfoBlock block = decodeSetCharacter(payload);
    const uint8_t character = block[kBlockCharacterOffset];
    if (character > kMaxCharacter) return false;
    if (isStageLevel(connection.roomKey.level) && character != connection.character) {
        sendNotice(connection, NoticeCode::CharacterOnlyInHub,
                   "Characters can only be changed in a hub world");
        return true;
    }
    sanitizePlayerInfo(block.data());
    std::memcpy(connection.name.data(), block.data(), connection.name.size());
    connection.character = character;
    std::copy_n(block.begin() + kBlockColourOffset, connection.colour.size(), connection.colour.begin());
    updateProfile(connection);
    if (connection.roomKey.inRoom())
        broadcastMessage(connection.roomKey, MessageType::PlayerInfo,
                         encodePlayerInfo(connection.playerId, connection.name,
                                          connection.character, connection.colour,
                                          connection.roomKey),
                         connection.playerId);
    return true;
}

bool GameServer::handleSetReady(ClientConnection& connection, std::span<const uint8_t> payload) {
    const RoomKey key = connection.roomKey;
    if (!isStageLevel(key.level)) return true;
    connection.ready = decodeSetReady(payload) ? 1 : 0;
    // The first status always shows no countdown, even while one runs.
    broadcastRoomStatus(key, 0);
    const Members& members = roomMembers(key);
    if (members.size() < settings_.minimumReady || countReady(members) != members.size()) {
        std::erase_if(startCountdowns_, [&](const StartCountdown& c) { return c.key == key; });
        broadcastRoomStatus(key, 0);
        return true;
    }
    if (hasCountdown(startCountdowns_, key)) return true;
    startCountdowns_.push_back(StartCountdown{key, monotonicNowNs(), kCountdownSeconds});
    broadcastRoomStatus(key, static_cast<uint8_t>(kCountdownSeconds));
    return true;
}

void GameServer::broadcastRoomStatus(const RoomKey& key, uint8_t countdown) {
    const Members& members = roomMembers(key);
    if (members.empty()) return;
    broadcastMessage(key, MessageType::RoomStatus,
                     encodeRoomStatus(members.size(), countReady(members), countdown, key.mission),
                     kExcludeNobody);
}

void GameServer::tickStageCountdowns() {
    const uint64_t now = monotonicNowNs();
    for (size_t i = 0; i < startCountdowns_.size();) {
        StartCountdown& countdown = startCountdowns_[i];
        const int64_t elapsed = wholeSecondsSince(now, countdown.startNs);
        const uint32_t remaining = countdownSecondsLeft(elapsed);
        if (remaining != countdown.secondsAnnounced) {
            countdown.secondsAnnounced = remaining;
            broadcastRoomStatus(countdown.key, static_cast<uint8_t>(remaining));
        }
        if (!countdownComplete(elapsed)) {
            ++i;
            continue;
        }
        startStageRun(countdown.key);
        startCountdowns_.erase(startCountdowns_.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void GameServer::startStageRun(const RoomKey& key) {
    const Members& members = roomMembers(key);
    // Nobody would ever finish a run in an empty room, so starting one would only
    // lock its key against newcomers.
    if (members.empty()) return;
    broadcastMessage(key, MessageType::StageStart, encodeStageStart(key, uptimeMs()),
                     kExcludeNobody);
    if (!isStartedStageRoom(key)) startedStageRooms_.push_back(key);
    for (ClientConnection* member : members) {
        member->ready = 0;
        member->finished = 0;
    }
}

void GameServer::leaveRoomAfterDisconnect(const RoomKey& oldKey, uint32_t playerId) {
    broadcastMessage(oldKey, MessageType::PlayerLeft, encodePlayerLeft(playerId), kExcludeNobody);
    broadcastRoomStatus(oldKey, 0);
    releaseStartedRun(oldKey);
}

bool GameServer::isStartedStageRoom(const RoomKey& key) const {
    return std::find(startedStageRooms_.begin(), startedStageRooms_.end(), key) !=
           startedStageRooms_.end();
}

}  // namespace karst
