// Hello: the player's identity, its restored rings and fruit, the UDP token,
// and what a new player receives first (Welcome, the completed save, waiting Pibo).
#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "app/game_server.h"
#include "net/client_messages.h"
#include "net/server_messages.h"
#include "game/player_info.h"

namespace karst {

namespace {

// Four 32-bit draws folded 16 bits apart; never 0, since 0 means "no token".
uint64_t drawUdpToken() {
    std::random_device device;
    uint64_t token = 0;
    for (int i = 0; i < 4; ++i) token = (token << 16) ^ static_cast<uint64_t>(device());
    return token == 0 ? 1 : token;
}

}  // namespace

bool GameServer::handleHello(ClientConnection& connection, std::span<const uint8_t> payload) {
    if (connection.authenticated || payload.size() != kHelloSize) return false;
    HelloMessage hello = decodeHello(payload);
    const ProfileKey& key = hello.profileKey;
    if (isZeroKey(key)) return false;
    // A banned identity is told so and never becomes "in use".
    if (const Ban* ban = banList_.findKey(key)) {
        closeAfterNotice(connection, NoticeCode::Banned, bannedNoticeText(*ban));
        return true;
    }
    if (refuseUnlistedKey(connection, hello)) return true;
    if (findAuthenticatedByProfileKey(key) != nullptr || awaitingStore_.contains(key)) return false;

    (void)sanitizePlayerInfo(hello.info.data());
    std::copy_n(hello.info.begin(), connection.name.size(), connection.name.begin());
    connection.character = hello.info[kBlockCharacterOffset];
    std::copy_n(hello.info.begin() + kBlockColourOffset, connection.colour.size(), connection.colour.begin());
    connection.profileKey = key;

    // The files answer at once; a shared store later, once the lease and the rows are in.
    beginStoreSession(connection);
    return true;
}

void GameServer::admitPlayer(ClientConnection& connection, const ProfileRecord& stored) {
    connection.rings = stored.rings;
    connection.serverInventory = stored.serverInventory;
    connection.authenticated = true;
    byProfileKey_[connection.profileKey] = &connection;
    addToRoomIndex(connection);
    connection.udpToken = drawUdpToken();

    const Welcome welcome{connection.playerId, static_cast<uint32_t>(clients_.size()), uptimeMs(),
                          connection.rings, connection.udpToken};
    sendMessage(connection, MessageType::Welcome, encodeWelcome(welcome));
    if (completedSave_.loaded) {
        std::array<uint8_t, kCompletedSaveSize> save;
        encodeCompletedSave(save.data(), completedSave_.hash, completedSave_.bytes);
        sendMessage(connection, MessageType::CompletedSave, save);
    }
    deliverPendingPibo(connection);
    const std::string name(reinterpret_cast<const char*>(connection.name.data()),
                           strnlen(reinterpret_cast<const char*>(connection.name.data()), connection.name.size()));
    printPlayerEvent("player " + std::to_string(connection.playerId) + " connected as " + name);
}

ProfileRecord GameServer::profileOf(const ClientConnection& connection) {
    ProfileRecord record;
    record.profileKey = connection.profileKey;
    record.rings = std::min(connection.rings, kRingCap);
    record.serverInventory = connection.serverInventory;
    record.name = connection.name;
    record.character = connection.character;
    record.colour = connection.colour;
    return record;
}

void GameServer::updateProfile(const ClientConnection& connection) {
    if (!connection.authenticated) return;
    const ProfileRecord record = profileOf(connection);
    profileStore_.update(record);
    store_->writeProfile(record);
}

bool GameServer::profileChanged(const ClientConnection& connection) {
    const ProfileRecord* stored = profileStore_.find(connection.profileKey);
    return connection.authenticated && (stored == nullptr || *stored != profileOf(connection));
}


void GameServer::sendPlayerInfo(ClientConnection& to, const ClientConnection& about) {
    sendMessage(to, MessageType::PlayerInfo,
                encodePlayerInfo(about.playerId, about.name, about.character, about.colour,
                                 about.roomKey));
}

}  // namespace karst
