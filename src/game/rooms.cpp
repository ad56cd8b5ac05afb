// Rooms: entering hub worlds and stage instances under their rules, what the
// old and new rooms are told, ready flags and the start countdown.
#include <algorithm>
#include <string>

#include "app/console.h"
#include "net/clock.h"
#include "app/game_server.h"
#include "net/coding.h"

namespace karst {


namespace {
constexpr uint64_t kProxyIntervalNs = 50 * kNsPerMs;
}  // namespace

bool GameServer::handleJoinRoom(ClientConnection& connection, std::span<const uint8_t> payload) {
    const RoomKey key = decodeRoomKey(payload.data());
    if (key.level < 0 || key.level > 255 || key.act < 0 || key.act > 7 || key.mission > 3)
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
        std::array<uint8_t, kPlayerLeftSize> left;
        putU32(left.data(), connection.playerId);
        broadcastMessage(oldKey, MessageType::PlayerLeft, left, connection.playerId);
    }
    moveToRoom(connection, key);
    if (oldKey.inRoom()) broadcastRoomStatus(oldKey, 0);
    connection.ready = 0;
    connection.finished = 0;
    connection.finishPlace = 0;
    std::erase_if(startCountdowns_, [&](const StartCountdown& c) { return c.key == key; });
    printLine("player " + std::to_string(connection.playerId) + " joined room level=" +
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
                                          ActiveHubRoom{key, monotonicNowNs() - kProxyIntervalNs});
        sendProxiesTo(connection, *room);
    }
    if (isGardenLevel(key.level)) sendGardenSnapshot(connection);
    broadcastRoomStatus(key, 0);
}
bool GameServer::handleSetCharacter(ClientConnection&, std::span<const uint8_t>) { return true; }
bool GameServer::handleSetReady(ClientConnection&, std::span<const uint8_t>) { return true; }
void GameServer::broadcastRoomStatus(const RoomKey&, uint8_t) {}
void GameServer::tickStageCountdowns() {}
void GameServer::leaveRoomAfterDisconnect(const RoomKey&, uint32_t) {}
bool GameServer::isStartedStageRoom(const RoomKey& key) const {
    return std::find(startedStageRooms_.begin(), startedStageRooms_.end(), key) !=
           startedStageRooms_.end();
}

}  // namespace karst
