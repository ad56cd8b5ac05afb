// Reaches into a GameServer that never opened a socket: fake connections with
// made-up socket handles, and direct calls to the dispatcher and to the steps of
// an event-loop pass, so benchmarks measure handling without the kernel and the
// fuzz targets drive every handler with arbitrary bytes.
//
// Fake socket handles start far above any descriptor the process can hold, so
// the real disconnect path may "close" them without touching a real file.
#pragma once

#include <memory>
#include <string>

#include "app/game_server.h"
#include "net/clock.h"

namespace karst {

class GameServerTestAccess {
public:
    explicit GameServerTestAccess(GameServer& server) : server_(server) {}

    // An authenticated connection in `room`; its socket handle is never used.
    ClientConnection& addPlayer(const RoomKey& room) {
        ClientConnection& c = addConnection();
        c.authenticated = true;
        c.profileKey.fill(0x11);
        c.profileKey[0] = static_cast<uint8_t>(c.playerId);
        c.profileKey[1] = static_cast<uint8_t>(c.playerId >> 8);
        c.roomKey = room;
        server_.byProfileKey_[c.profileKey] = &c;
        server_.addToRoomIndex(c);
        return c;
    }

    // A connection just accepted, still owing its Hello (and on the handshake clock).
    ClientConnection& addGuest() {
        ClientConnection& c = addConnection();
        if (server_.settings_.handshakeTimeoutSeconds != 0)
            server_.pendingHandshakes_.emplace_back(c.acceptedAtNs, c.socket);
        return c;
    }

    // Null once the connection is gone (closed by the server or by `disconnect`).
    ClientConnection* find(net::SocketHandle socket) {
        const auto it = server_.clients_.find(socket);
        return it == server_.clients_.end() ? nullptr : it->second.get();
    }

    bool dispatch(ClientConnection& c, const FrameHeader& header, std::span<const uint8_t> payload) {
        return server_.dispatchMessage(c, header, payload);
    }

    bool parse(ClientConnection& c) { return server_.parseFrames(c); }

    void handleDatagram(std::span<const uint8_t> datagram, const net::SocketAddress& from) {
        server_.handleDatagram(datagram, from);
    }

    // Only the room index moves; nobody is told.
    void moveToRoom(ClientConnection& c, const RoomKey& key) { server_.moveToRoom(c, key); }

    void broadcastRoomStatus(const RoomKey& key) { server_.broadcastRoomStatus(key, 0); }

    // The real teardown the event loop runs for a failed connection.
    void disconnect(net::SocketHandle socket) { server_.disconnect(socket); }

    // The connection walk of a pass in which no socket was reported ready;
    // `readFrom` counts as read from in it. Drain the queues first: a fake
    // socket cannot be written.
    void serveConnections(ClientConnection* readFrom = nullptr) {
        ++server_.passNumber_;
        if (readFrom) readFrom->readPass = server_.passNumber_;
        server_.serveConnections();
    }

    // The end of an event-loop pass: expired handshakes close, then the periodic
    // work (countdowns, proxies, metrics), then the pending store writes.
    void finishPass() {
        server_.closeExpiredHandshakes();
        for (net::SocketHandle socket : server_.closingList_) server_.disconnect(socket);
        server_.closingList_.clear();
        server_.runPeriodicWork();
        server_.writePendingSaves();
    }

    const ProfileStore& profileStore() const { return server_.profileStore_; }
    const PiboStore& piboStore() const { return server_.piboStore_; }

    // Pretends every queued byte was written, as the event loop would.
    void drainQueues() {
        for (auto& [socket, c] : server_.clients_) {
            c->sendQueue.clear();
            c->sendOffset = 0;
            c->writePending = false;
        }
        server_.pendingWrites_.clear();
    }

    // Checks that the indexes agree with the connection table; returns what is
    // wrong, or an empty string.
    std::string indexFault() const {
        size_t authenticated = 0;
        for (const auto& [socket, c] : server_.clients_) {
            if (server_.byPlayerId_.find(c->playerId) != c.get())
                return "player id index misses player " + std::to_string(c->playerId);
            if (!c->authenticated) continue;
            ++authenticated;
            const auto byKey = server_.byProfileKey_.find(c->profileKey);
            if (byKey == server_.byProfileKey_.end() || byKey->second != c.get())
                return "profile key index misses player " + std::to_string(c->playerId);
            const auto room = server_.rooms_.find(c->roomKey);
            if (room == server_.rooms_.end() || c->roomMembers != &room->second ||
                c->roomSlot >= room->second.size() || room->second[c->roomSlot] != c.get())
                return "room index misses player " + std::to_string(c->playerId);
        }
        size_t members = 0;
        for (const auto& [key, list] : server_.rooms_) {
            if (list.empty()) return "empty room left in the room index";
            members += list.size();
        }
        if (server_.byPlayerId_.size() != server_.clients_.size())
            return "player id index holds connections that are gone";
        if (server_.byProfileKey_.size() != authenticated || members != authenticated)
            return "profile key or room index holds connections that are gone";
        uint64_t queueMemory = 0;
        for (const auto& [socket, c] : server_.clients_) queueMemory += c->sendQueue.capacity();
        if (queueMemory != server_.queuedMemory_) return "send queue memory miscounted";
        return {};
    }

    // Forgets the fake sockets so shutdown does not close descriptors it never owned.
    void forgetConnections() {
        server_.rooms_.clear();
        server_.byPlayerId_.clear();
        server_.byProfileKey_.clear();
        server_.pendingHandshakes_.clear();
        server_.pendingWrites_.clear();
        server_.overflowed_.clear();
        server_.connectionsByAddress_.clear();
        server_.queuedMemory_ = 0;
        server_.clients_.clear();
    }

private:
    static constexpr net::SocketHandle kFirstFakeSocket = 1'000'000'000;

    ClientConnection& addConnection() {
        auto connection = std::make_unique<ClientConnection>();
        ClientConnection& c = *connection;
        c.socket = kFirstFakeSocket + static_cast<net::SocketHandle>(nextFakeSocket_++);
        c.playerId = server_.nextPlayerId_++;
        c.acceptedAtNs = monotonicNowNs();
        server_.byPlayerId_.insert(c.playerId, &c);
        server_.clients_.emplace(c.socket, std::move(connection));
        return c;
    }

    GameServer& server_;
    // Never reused, unlike the table's size, which shrinks as connections close.
    uint32_t nextFakeSocket_ = 0;
};

}  // namespace karst
