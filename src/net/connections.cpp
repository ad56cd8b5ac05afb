// The connection table: accepting up to capacity, bounded reads, send queues
// with their 2 MiB limit, room broadcasts through the room index, and teardown.
#include <algorithm>
#include <array>
#include <string>

#include "app/console.h"
#include "app/game_server.h"
#include "net/clock.h"

namespace karst {

namespace {
// Keepalive timing: a peer that vanished without a FIN or RST is reported by
// the system after about two minutes of silence, and goes through disconnect.
constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 6;

void releaseSpareCapacity(std::vector<uint8_t>& buffer) {
    if (buffer.capacity() > kRetainedBufferCapacity) {
        std::vector<uint8_t> empty;
        buffer.swap(empty);
    }
}
}  // namespace

void GameServer::acceptPending() {
    while (clients_.size() < clientCapacity_) {
        net::AcceptOutcome outcome;
        const net::SocketHandle socket = net::acceptConnection(listenSocket_, outcome);
        if (socket == net::kInvalidSocket) {
            restListenerAfter(outcome);
            return;
        }
        (void)net::setNonBlocking(socket);
        (void)net::setNoDelay(socket);
        (void)net::setKeepAlive(socket, kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds,
                                kKeepAliveProbes);
        ++traffic_.connectionsAccepted;
        auto connection = std::make_unique<ClientConnection>();
        connection->socket = socket;
        connection->playerId = nextPlayerId_++;
        connection->acceptedAtNs = monotonicNowNs();
        byPlayerId_[connection->playerId] = connection.get();
        if (settings_.handshakeTimeoutSeconds != 0)
            pendingHandshakes_.emplace_back(connection->acceptedAtNs, socket);
        clients_.emplace(socket, std::move(connection));
    }
}

bool GameServer::receiveFromConnection(ClientConnection& connection) {
    std::array<uint8_t, kReadChunkSize> chunk;
    for (;;) {
        const net::IoResult r = net::receiveBytes(connection.socket, chunk);
        if (r.status == net::IoStatus::Ok) {
            traffic_.bytesReceived += r.bytes;
            connection.receiveBuffer.insert(connection.receiveBuffer.end(), chunk.begin(),
                                            chunk.begin() + static_cast<std::ptrdiff_t>(r.bytes));
            if (connection.receiveBuffer.size() > kReceiveBufferLimit) return false;
            continue;
        }
        if (r.status != net::IoStatus::WouldBlock) return false;
        const bool ok = parseFrames(connection);
        if (connection.receiveBuffer.empty()) releaseSpareCapacity(connection.receiveBuffer);
        return ok;
    }
}

bool GameServer::flushSendQueue(ClientConnection& connection) {
    while (connection.hasUnsentBytes()) {
        const std::span<const uint8_t> unsent(connection.sendQueue.data() + connection.sendOffset,
                                              connection.unsentBytes());
        const net::IoResult r = net::sendBytes(connection.socket, unsent);
        if (r.status == net::IoStatus::WouldBlock) return true;
        if (r.status != net::IoStatus::Ok) return false;
        connection.sendOffset += static_cast<uint32_t>(r.bytes);
        traffic_.bytesSent += r.bytes;
    }
    connection.sendQueue.clear();
    connection.sendOffset = 0;
    releaseSpareCapacity(connection.sendQueue);
    return true;
}

void GameServer::sendToConnection(ClientConnection& connection, std::span<const uint8_t> frame) {
    if (connection.unsentBytes() + frame.size() > kUnsentBytesLimit) {
        connection.sendOverflow = true;
        return;
    }
    if (connection.sendOffset == connection.sendQueue.size()) {
        connection.sendQueue.clear();
        connection.sendOffset = 0;
    }
    connection.sendQueue.insert(connection.sendQueue.end(), frame.begin(), frame.end());
    ++traffic_.framesSent;
}

void GameServer::broadcastToRoom(const RoomKey& key, std::span<const uint8_t> frame,
                                 uint32_t excludedId) {
    for (ClientConnection* member : roomMembers(key))
        if (member->playerId != excludedId) sendToConnection(*member, frame);
}

void GameServer::disconnect(net::SocketHandle socket) {
    const auto it = clients_.find(socket);
    if (it == clients_.end()) return;
    ClientConnection& connection = *it->second;
    const uint32_t playerId = connection.playerId;
    const RoomKey roomKey = connection.roomKey;
    const bool wasAuthenticated = connection.authenticated;
    updateProfile(connection);
    saveProfileStore();
    if (roomKey.inRoom()) releaseHeldPibo(connection, roomKey);
    net::closeSocket(socket);
    if (wasAuthenticated) {
        removeFromRoomIndex(connection);
        byProfileKey_.erase(connection.profileKey);
    }
    byPlayerId_.erase(playerId);
    clients_.erase(it);
    ++traffic_.connectionsClosed;
    if (roomKey.inRoom()) leaveRoomAfterDisconnect(roomKey, playerId);
    printLine("player " + std::to_string(playerId) + " disconnected");
}

ClientConnection* GameServer::findConnectionByPlayerId(uint32_t playerId) {
    const auto it = byPlayerId_.find(playerId);
    return it == byPlayerId_.end() ? nullptr : it->second;
}

ClientConnection* GameServer::findAuthenticatedByProfileKey(const ProfileKey& key) {
    const auto it = byProfileKey_.find(key);
    return it == byProfileKey_.end() ? nullptr : it->second;
}

const GameServer::Members& GameServer::roomMembers(const RoomKey& key) const {
    static const Members kEmpty;
    const auto it = rooms_.find(key);
    return it == rooms_.end() ? kEmpty : it->second;
}

void GameServer::addToRoomIndex(ClientConnection& connection) {
    Members& members = rooms_[connection.roomKey];
    connection.roomSlot = members.size();
    members.push_back(&connection);
}

void GameServer::removeFromRoomIndex(ClientConnection& connection) {
    const auto it = rooms_.find(connection.roomKey);
    if (it == rooms_.end()) return;
    Members& members = it->second;
    // Order among members carries no meaning, so the last member fills the gap.
    const size_t slot = connection.roomSlot;
    if (slot < members.size() && members[slot] == &connection) {
        members[slot] = members.back();
        members[slot]->roomSlot = slot;
        members.pop_back();
    }
    if (members.empty()) rooms_.erase(it);
}

void GameServer::moveToRoom(ClientConnection& connection, const RoomKey& key) {
    removeFromRoomIndex(connection);
    connection.roomKey = key;
    addToRoomIndex(connection);
}

}  // namespace karst
