// Hub proxy players (not built yet).
#include "app/game_server.h"

namespace karst {


ProxyPlayer makeProxyPlayer(uint32_t, uint32_t id) {
    ProxyPlayer p;
    p.id = id;
    return p;
}

void GameServer::createProxies() {
    for (uint32_t i = 0; i < settings_.proxyCount; ++i) proxies_.push_back(makeProxyPlayer(i, nextPlayerId_++));
}
void GameServer::sendProxiesTo(ClientConnection&, const ActiveHubRoom&) {}
void GameServer::tickHubProxies() {}

}  // namespace karst
