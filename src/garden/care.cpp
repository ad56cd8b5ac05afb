// Pibo registration, presence and care (not built yet).
#include "app/game_server.h"

namespace karst {


bool GameServer::handlePiboRegister(ClientConnection&, std::span<const uint8_t>) { return true; }
bool GameServer::handlePiboState(ClientConnection&, std::span<const uint8_t>) { return true; }
bool GameServer::handlePiboRelease(ClientConnection&, std::span<const uint8_t>) { return true; }
bool GameServer::handlePiboFeed(ClientConnection&, std::span<const uint8_t>) { return true; }
bool GameServer::handlePiboInteract(ClientConnection&, std::span<const uint8_t>) { return true; }
bool GameServer::handlePiboClaim(ClientConnection&, std::span<const uint8_t>) { return true; }
void GameServer::deliverPendingPibo(ClientConnection&) {}
void GameServer::releaseHeldPibo(ClientConnection&, const RoomKey&) {}
void GameServer::sendGardenSnapshot(ClientConnection&) {}
void GameServer::savePiboStore() { (void)piboStore_.save(); }

}  // namespace karst
