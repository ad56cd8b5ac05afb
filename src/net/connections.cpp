// The connection table: accepting up to capacity, bounded reads, send queues
// with their 2 MiB limit, room broadcasts through the room index, and teardown.
#include <algorithm>
#include <array>
#include <string>

#include "app/game_server.h"
#include "net/clock.h"

namespace karst {

namespace {
// Keepalive timing: a peer that vanished without a FIN or RST is reported by
// the system after about two minutes of silence, and goes through disconnect.
constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 6;
constexpr size_t kMaxRefusalsPerPass = 256;

void releaseSpareCapacity(std::vector<uint8_t>& buffer) {
    if (buffer.capacity() > kRetainedBufferCapacity) {
        std::vector<uint8_t> empty;
        buffer.swap(empty);
    }
}
}  // namespace

void GameServer::acceptPending() {
    // Refused peers are closed without taking a slot; a bound on them keeps a
    // flood of reconnects from holding the pass here.
    size_t refused = 0;
    while (clients_.size() < clientCapacity_ && refused < kMaxRefusalsPerPass) {
        net::AcceptOutcome outcome;
        net::SocketAddress peer;
        const net::SocketHandle socket = net::acceptConnection(listenSocket_, outcome, &peer);
        if (socket == net::kInvalidSocket) {
            restListenerAfter(outcome);
            return;
        }
        const net::IpAddress peerIp = net::endpointIpAddress(peer);
        if (refuseBannedPeer(socket, peerIp) || refuseCrowdedPeer(socket, peerIp)) {
            ++refused;
            continue;
        }
        (void)net::setNonBlocking(socket);
        (void)net::setNoDelay(socket);
        (void)net::setKeepAlive(socket, kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds,
                                kKeepAliveProbes);
        ++traffic_.connectionsAccepted;
        auto connection = std::make_unique<ClientConnection>();
        connection->socket = socket;
        connection->remoteAddress = peer;
        connection->remoteIp = peerIp;
        connection->playerId = nextPlayerId_++;
        connection->acceptedAtNs = monotonicNowNs();
        if (!poller_.add(socket, net::kPollIn, connection->playerId)) {
            net::closeSocket(socket);
            continue;
        }
        byPlayerId_.insert(connection->playerId, connection.get());
        ++connectionsByAddress_[peerIp];
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
            // A read that left part of the chunk empty took all the socket held, so
            // another would only report "would block": half the reads of a busy
            // relay. Bytes that arrive meanwhile keep the socket ready for the next pass.
            if (r.bytes == chunk.size()) continue;
        } else if (r.status != net::IoStatus::WouldBlock) {
            return false;
        }
        const bool ok = parseFrames(connection);
        if (connection.receiveBuffer.empty()) releaseSpareCapacity(connection.receiveBuffer);
        return ok;
    }
}

bool GameServer::flushSendQueue(ClientConnection& connection) {
    // One send per call: when it takes only part, the socket's buffer is full and
    // a second would report "would block", so the rest waits for the writable report.
    if (connection.hasUnsentBytes()) {
        const std::span<const uint8_t> unsent(connection.sendQueue.data() + connection.sendOffset,
                                              connection.unsentBytes());
        const net::IoResult r = net::sendBytes(connection.socket, unsent);
        if (r.status == net::IoStatus::WouldBlock) return waitUntilWritable(connection);
        if (r.status != net::IoStatus::Ok) return false;
        connection.sendOffset += static_cast<uint32_t>(r.bytes);
        traffic_.bytesSent += r.bytes;
        if (connection.hasUnsentBytes()) return waitUntilWritable(connection);
    }
    connection.sendQueue.clear();
    connection.sendOffset = 0;
    if (connection.sendQueue.capacity() > kRetainedBufferCapacity) setQueueCapacity(connection, 0);
    // One still watched for room would wake every pass for nothing.
    if (connection.writeInterest) {
        connection.writeInterest = false;
        return poller_.modify(connection.socket, net::kPollIn, connection.playerId);
    }
    return true;
}

bool GameServer::waitUntilWritable(ClientConnection& connection) {
    compactSendQueue(connection);
    // A socket the loop cannot watch for room would never be written again.
    if (!connection.writeInterest) {
        connection.writeInterest = true;
        return poller_.modify(connection.socket, net::kPollIn | net::kPollOut, connection.playerId);
    }
    return true;
}

void GameServer::compactSendQueue(ClientConnection& connection) {
    // A reader that keeps up only partly never lets its queue drain; without this
    // the bytes it already took would pile up at the front for as long as it lives.
    if (connection.sendOffset < kRetainedBufferCapacity ||
        connection.sendOffset < connection.sendQueue.size() / 2)
        return;
    connection.sendQueue.erase(connection.sendQueue.begin(),
                               connection.sendQueue.begin() + connection.sendOffset);
    connection.sendOffset = 0;
}

void GameServer::setQueueCapacity(ClientConnection& connection, size_t capacity) {
    const size_t before = connection.sendQueue.capacity();
    if (capacity == 0) {
        std::vector<uint8_t> empty;
        connection.sendQueue.swap(empty);
    } else {
        connection.sendQueue.reserve(capacity);
    }
    queuedMemory_ = queuedMemory_ - before + connection.sendQueue.capacity();
}

void GameServer::sendToConnection(ClientConnection& connection, std::span<const uint8_t> frame) {
    if (connection.cutOffByBudget) return;
    if (connection.unsentBytes() + frame.size() > kUnsentBytesLimit) {
        markOverflowed(connection);
        return;
    }
    if (connection.sendOffset == connection.sendQueue.size()) {
        connection.sendQueue.clear();
        connection.sendOffset = 0;
    }
    const size_t needed = connection.sendQueue.size() + frame.size();
    if (needed > connection.sendQueue.capacity()) {
        // Grown by half at a time, and the growth counted before it happens.
        const size_t capacity = std::max(needed, connection.sendQueue.capacity() * 3 / 2);
        if (!makeRoomInBudget(connection, capacity - connection.sendQueue.capacity())) return;
        setQueueCapacity(connection, capacity);
    }
    connection.sendQueue.insert(connection.sendQueue.end(), frame.begin(), frame.end());
    ++traffic_.framesSent;
    if (!connection.writePending && !connection.writeInterest) {
        connection.writePending = true;
        pendingWrites_.push_back(connection.playerId);
    }
}

bool GameServer::makeRoomInBudget(ClientConnection& recipient, size_t growth) {
    const uint64_t budget = uint64_t{settings_.sendBudgetMiB} * 1024 * 1024;
    if (budget == 0 || queuedMemory_ + growth <= budget) return true;
    // Rare, and only under abuse: the largest queues are cut off first, down to
    // seven eighths of the budget so the next frames do not land here again.
    std::vector<ClientConnection*> holders;
    for (auto& [socket, c] : clients_)
        if (c->sendQueue.capacity() != 0) holders.push_back(c.get());
    std::sort(holders.begin(), holders.end(), [](const ClientConnection* a, const ClientConnection* b) {
        return a->sendQueue.capacity() > b->sendQueue.capacity();
    });
    for (ClientConnection* c : holders) {
        if (queuedMemory_ + growth <= budget - budget / 8) break;
        cutOff(*c);
    }
    // A frame that cannot fit even so cuts off its recipient rather than vanish.
    if (queuedMemory_ + growth > budget) cutOff(recipient);
    return !recipient.cutOffByBudget;
}

void GameServer::cutOff(ClientConnection& connection) {
    if (connection.cutOffByBudget) return;
    // Closed as an overflowed queue is: its bytes go now, the connection at the
    // end of a pass that reads nothing from it.
    connection.sendQueue.clear();
    connection.sendOffset = 0;
    setQueueCapacity(connection, 0);
    connection.cutOffByBudget = true;
    markOverflowed(connection);
}

void GameServer::markOverflowed(ClientConnection& connection) {
    if (!connection.sendOverflow) overflowed_.push_back(connection.playerId);
    connection.sendOverflow = true;
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
    if (profileChanged(connection)) updateProfile(connection);
    store_->endSession(connection.profileKey);
    if (roomKey.inRoom()) releaseHeldPibo(connection, roomKey);
    poller_.remove(socket);
    net::closeSocket(socket);
    if (wasAuthenticated) {
        removeFromRoomIndex(connection);
        byProfileKey_.erase(connection.profileKey);
    }
    byPlayerId_.erase(playerId);
    forgetAddress(connection.remoteIp);
    queuedMemory_ -= connection.sendQueue.capacity();
    clients_.erase(it);
    ++traffic_.connectionsClosed;
    if (roomKey.inRoom()) leaveRoomAfterDisconnect(roomKey, playerId);
    printPlayerEvent("player " + std::to_string(playerId) + " disconnected");
}

void GameServer::forgetAddress(const net::IpAddress& address) {
    const auto it = connectionsByAddress_.find(address);
    if (it != connectionsByAddress_.end() && --it->second == 0) connectionsByAddress_.erase(it);
}

bool GameServer::refuseCrowdedPeer(net::SocketHandle socket, const net::IpAddress& address) {
    if (settings_.maxConnectionsPerAddress == 0) return false;
    const auto it = connectionsByAddress_.find(address);
    if (it == connectionsByAddress_.end() || it->second < settings_.maxConnectionsPerAddress) return false;
    reportRefusal(address, std::to_string(settings_.maxConnectionsPerAddress) + " connections from one address");
    net::closeSocket(socket);
    return true;
}

ClientConnection* GameServer::findConnectionByPlayerId(uint32_t playerId) {
    return byPlayerId_.find(playerId);
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
    connection.roomMembers = &members;
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
    connection.roomMembers = nullptr;
    if (members.empty()) rooms_.erase(it);
}

void GameServer::moveToRoom(ClientConnection& connection, const RoomKey& key) {
    removeFromRoomIndex(connection);
    connection.roomKey = key;
    addToRoomIndex(connection);
}

}  // namespace karst
