// Pibo breeding (not built yet).
#include "app/game_server.h"

namespace karst {


bool GameServer::handlePiboBreed(ClientConnection&, std::span<const uint8_t>) { return true; }

}  // namespace karst
