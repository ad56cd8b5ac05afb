// Stage finish, ring rewards and the fruit shop (not built yet).
#include "app/game_server.h"

namespace karst {


bool GameServer::handleStageFinished(ClientConnection&, std::span<const uint8_t>) { return true; }
void GameServer::releaseStartedRun(const RoomKey&) {}
bool GameServer::handleBuyFruit(ClientConnection&, std::span<const uint8_t>) { return true; }

}  // namespace karst
