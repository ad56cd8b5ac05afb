// The metrics file (not built yet).
#include "app/game_server.h"

namespace karst {


bool GameServer::writeMetrics() { return true; }

}  // namespace karst
