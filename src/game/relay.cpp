// Movement, event and ping relay (not built yet).
#include "app/game_server.h"

namespace karst {


bool GameServer::handlePlayerState(ClientConnection&, std::span<const uint8_t>) { return true; }
bool GameServer::handlePlayerEvent(ClientConnection&, std::span<const uint8_t>) { return true; }
bool GameServer::handlePing(ClientConnection&, std::span<const uint8_t>) { return true; }

}  // namespace karst
