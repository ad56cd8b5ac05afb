// Rooms, stage access, ready flags and the start countdown (not built yet).
#include "app/game_server.h"

namespace karst {


bool GameServer::handleJoinRoom(ClientConnection&, std::span<const uint8_t>) { return true; }
void GameServer::joinRoom(ClientConnection&, const RoomKey&) {}
bool GameServer::handleSetCharacter(ClientConnection&, std::span<const uint8_t>) { return true; }
bool GameServer::handleSetReady(ClientConnection&, std::span<const uint8_t>) { return true; }
void GameServer::broadcastRoomStatus(const RoomKey&, uint8_t) {}
void GameServer::tickStageCountdowns() {}
void GameServer::leaveRoomAfterDisconnect(const RoomKey&, uint32_t) {}
bool GameServer::isStartedStageRoom(const RoomKey&) const { return false; }

}  // namespace karst
