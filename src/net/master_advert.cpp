// Master server advertisement (not built yet).
#include "app/game_server.h"

namespace karst {


void GameServer::advertiseToMaster(bool) {}

}  // namespace karst
