// Reaches into a GameServer that never opened a socket: fake connections with
// made-up socket handles, and direct calls to the dispatcher, so the cost of
// handling one message is measured without the kernel.
#pragma once

#include <memory>

#include "app/game_server.h"

namespace karst {

class GameServerTestAccess {
public:
    explicit GameServerTestAccess(GameServer& server) : server_(server) {}

    // An authenticated connection in `room`; its socket handle is never used.
    ClientConnection& addPlayer(const RoomKey& room) {
        auto connection = std::make_unique<ClientConnection>();
        ClientConnection& c = *connection;
        c.socket = static_cast<net::SocketHandle>(1'000'000 + server_.clients_.size());
        c.playerId = server_.nextPlayerId_++;
        c.authenticated = true;
        c.profileKey.fill(0x11);
        c.profileKey[0] = static_cast<uint8_t>(c.playerId);
        c.profileKey[1] = static_cast<uint8_t>(c.playerId >> 8);
        c.roomKey = room;
        server_.byPlayerId_[c.playerId] = &c;
        server_.byProfileKey_[c.profileKey] = &c;
        server_.addToRoomIndex(c);
        server_.clients_.emplace(c.socket, std::move(connection));
        return c;
    }

    bool dispatch(ClientConnection& c, const FrameHeader& header, std::span<const uint8_t> payload) {
        return server_.dispatchMessage(c, header, payload);
    }

    bool parse(ClientConnection& c) { return server_.parseFrames(c); }

    void broadcastRoomStatus(const RoomKey& key) { server_.broadcastRoomStatus(key, 0); }

    // Pretends every queued byte was written, as the event loop would.
    void drainQueues() {
        for (auto& [socket, c] : server_.clients_) {
            c->sendQueue.clear();
            c->sendOffset = 0;
        }
    }

    // Forgets the fake sockets so shutdown does not close descriptors it never owned.
    void forgetConnections() {
        server_.rooms_.clear();
        server_.byPlayerId_.clear();
        server_.byProfileKey_.clear();
        server_.clients_.clear();
    }

private:
    GameServer& server_;
};

}  // namespace karst
