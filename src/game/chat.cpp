// Room chat (not built yet).
#include "app/game_server.h"

namespace karst {


bool GameServer::handleChatText(ClientConnection&, std::span<const uint8_t>) { return true; }

}  // namespace karst
