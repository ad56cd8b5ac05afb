// The server query (A2S) on a UDP socket of its own: INFO and PLAYER replies
// for an address that returned a valid challenge, the 9-byte challenge for any
// other request, nothing at all for a datagram that is no request or for an
// address past its rate limit.
//
// INFO names the game folder "karst" and the game "KARST"; its map is the level
// most players are in (mapNameForLevels). As query clients expect of servers
// with bots, the player count includes the hub proxies, given again as bots,
// and PLAYER lists them after the authenticated players: these by id with
// rings as score and seconds since their connection was accepted, the proxies
// with no score and the server's uptime, which marks them as bots to clients.
#include <algorithm>
#include <array>

#include "app/game_server.h"
#include "net/clock.h"
#include "net/protocol.h"
#include "net/query_messages.h"

// Set by the build for this file alone.
#ifndef KARST_VERSION
#define KARST_VERSION "0.0.0"
#endif
#ifndef KARST_QUERY_ENVIRONMENT
#define KARST_QUERY_ENVIRONMENT "l"
#endif

namespace karst {

namespace {

// A flood must not keep the loop from players; the rest waits for the next pass.
constexpr size_t kMaxQueriesPerDrain = 256;
constexpr std::string_view kQueryFolder = "karst";
constexpr std::string_view kQueryGame = "KARST";
static_assert(kProtocolVersion <= 255, "the INFO reply carries the protocol version in one byte");

std::string_view nameText(const PlayerName& name) {
    const auto end = std::find(name.begin(), name.end(), uint8_t{0});
    return {reinterpret_cast<const char*>(name.data()), static_cast<size_t>(end - name.begin())};
}

float secondsSince(uint64_t sinceNs, uint64_t nowNs) {
    return static_cast<float>(static_cast<double>(nowNs - sinceNs) / static_cast<double>(kNsPerSecond));
}

}  // namespace

void GameServer::drainQueries() {
    std::array<uint8_t, kQueryReceiveBufferSize> buffer;
    net::SocketAddress from;
    for (size_t i = 0; i < kMaxQueriesPerDrain; ++i) {
        const net::IoResult r = net::receiveDatagram(querySocket_, buffer, from);
        if (r.status != net::IoStatus::Ok) return;
        if (r.truncated) continue;
        handleQuery(std::span<const uint8_t>(buffer.data(), r.bytes), from);
    }
}

void GameServer::handleQuery(std::span<const uint8_t> datagram, const net::SocketAddress& from) {
    const std::optional<QueryRequest> request = decodeQueryRequest(datagram);
    if (!request) return;
    const uint64_t now = monotonicNowNs();
    if (!queryRateLimit_.allow(net::endpointIpAddress(from), now)) return;
    const auto source = std::span<const uint8_t>(from.storage.data(), static_cast<size_t>(from.length));
    if (!request->challenge || !queryChallenges_.accepts(source, *request->challenge, now)) {
        (void)net::sendDatagram(querySocket_, encodeQueryChallenge(queryChallenges_.issue(source, now)), from);
        return;
    }
    const std::vector<uint8_t> reply =
        request->kind == QueryKind::Info ? composeQueryInfo() : composeQueryPlayers();
    // A reply the socket cannot take now is lost, as datagrams may be; the client asks again.
    if (net::sendDatagram(querySocket_, reply, from).status == net::IoStatus::Ok) ++traffic_.queriesAnswered;
}

std::vector<uint8_t> GameServer::composeQueryInfo() const {
    std::array<uint32_t, kMaxLevel + 1> playersByLevel{};
    for (const auto& [key, members] : rooms_) {
        if (key.inRoom() && key.level <= kMaxLevel)
            playersByLevel[static_cast<size_t>(key.level)] += static_cast<uint32_t>(members.size());
    }
    const std::string map = mapNameForLevels(playersByLevel);
    QueryInfo info;
    info.protocol = static_cast<uint8_t>(kProtocolVersion);
    info.name = settings_.serverName;
    info.map = map;
    info.folder = kQueryFolder;
    info.game = kQueryGame;
    info.players = byProfileKey_.size() + proxies_.size();
    info.maxPlayers = settings_.maxClients;
    info.bots = proxies_.size();
    info.environment = KARST_QUERY_ENVIRONMENT[0];
    info.version = KARST_VERSION;
    info.gamePort = tcpPort();
    return encodeQueryInfo(info);
}

std::vector<uint8_t> GameServer::composeQueryPlayers() const {
    std::vector<const ClientConnection*> players;
    players.reserve(byProfileKey_.size());
    for (const auto& [key, connection] : byProfileKey_) players.push_back(connection);
    std::sort(players.begin(), players.end(),
              [](const ClientConnection* a, const ClientConnection* b) { return a->playerId < b->playerId; });
    const uint64_t now = monotonicNowNs();
    std::vector<QueryPlayer> entries;
    entries.reserve(players.size() + proxies_.size());
    for (const ClientConnection* c : players)
        entries.push_back({nameText(c->name), static_cast<int32_t>(c->rings),
                           secondsSince(c->acceptedAtNs, now)});
    for (const ProxyPlayer& proxy : proxies_)
        entries.push_back({nameText(proxy.name), 0, secondsSince(startTime_, now)});
    return encodeQueryPlayers(entries);
}

}  // namespace karst
