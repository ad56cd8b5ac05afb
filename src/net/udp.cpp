// The UDP movement channel (not built yet).
#include "app/game_server.h"

namespace karst {


void GameServer::relayStateToRoom(const RoomKey&, std::span<uint8_t, kPlayerStateSize>, uint32_t) {}
void GameServer::drainUdp() {}
void GameServer::handleDatagram(std::span<const uint8_t>, const net::SocketAddress&) {}

}  // namespace karst
