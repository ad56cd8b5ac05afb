// The end of a stage run: finishing places and their ring rewards, the release
// of a started run, and the fruit shop that turns rings into server-held fruit.
//
// Every change to rings or fruit is written through to the profile store at once.
#include <algorithm>

#include "app/game_server.h"
#include "net/client_messages.h"
#include "game/stage_rules.h"
#include "net/coding.h"

namespace karst {

namespace {

size_t countFinished(const std::vector<ClientConnection*>& members) {
    return static_cast<size_t>(std::count_if(
        members.begin(), members.end(), [](const ClientConnection* m) { return m->finished != 0; }));
}

}  // namespace

bool GameServer::handleStageFinished(ClientConnection& connection, std::span<const uint8_t> payload) {
    const StageFinishedMessage finish = decodeStageFinished(payload);
    const RoomKey key = finish.room;
    if (key != connection.roomKey || !isStageLevel(key.level) || connection.finished) return true;
    const Members& members = roomMembers(key);
    const size_t finishedBefore = countFinished(members);

    connection.finished = 1;
    connection.finishPlace = finishPlaceAfter(finishedBefore);
    const uint32_t reward = finishReward(connection.finishPlace);
    connection.rings = addRings(connection.rings, reward);
    updateProfile(connection);

    FinishReport report;
    report.playerId = connection.playerId;
    report.result = finish.result;
    report.reward = reward;
    report.rings = connection.rings;
    report.finishedCount = finishedBefore + 1;
    report.memberCount = members.size();
    report.place = connection.finishPlace;
    broadcastMessage(key, MessageType::StageFinishedResult, encodeStageFinishedResult(report),
                     kExcludeNobody);
    if (report.finishedCount >= report.memberCount) {
        broadcastMessage(key, MessageType::StageEnded, encodeStageEnded(key), kExcludeNobody);
        std::erase(startedStageRooms_, key);
    }
    return true;
}

void GameServer::releaseStartedRun(const RoomKey& key) {
    if (!isStartedStageRoom(key)) return;
    const Members& remaining = roomMembers(key);
    const bool allFinished = !remaining.empty() && countFinished(remaining) == remaining.size();
    if (allFinished)
        broadcastMessage(key, MessageType::StageEnded, encodeStageEnded(key), kExcludeNobody);
    if (remaining.empty() || allFinished) std::erase(startedStageRooms_, key);
}

bool GameServer::handleBuyFruit(ClientConnection& connection, std::span<const uint8_t> payload) {
    const int8_t fruit = decodeBuyFruit(payload);
    const uint32_t price = fruitPrice(fruit);
    if (isStageLevel(connection.roomKey.level)) return false;
    if (price == 0 || fruit < 0 || fruit > kMaxFruitCode) return false;
    const bool bought = buyFruit(connection.rings,
                                 connection.serverInventory[static_cast<size_t>(fruit)], price);
    if (bought) {
        updateProfile(connection);
    }
    sendMessage(connection, MessageType::BuyFruitResult,
                encodeBuyFruitResult(fruit, bought, price, connection.rings));
    return true;
}

}  // namespace karst
