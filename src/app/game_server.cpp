// Construction, start-up (stores, sockets, the start-up report) and shutdown of
// the one GameServer.
#include "app/game_server.h"

#include <string>

#include "app/console.h"
#include "net/clock.h"

namespace karst {

std::atomic<GameServer*> activeServer{nullptr};

GameServer::GameServer(ServerSettings settings)
    : settings_(std::move(settings)),
      piboStore_(settings_.piboStorePath),
      profileStore_(settings_.profileStorePath) {
    socketsReady_ = net::startSocketLibrary();
    startTime_ = monotonicNowNs();
    createProxies();
    // The files until start() opens a database instead.
    auto files = std::make_unique<FilePlayerStore>(profileStore_, piboStore_, profileSaveReport_, piboSaveReport_);
    fileStore_ = files.get();
    store_ = std::move(files);
}

GameServer::~GameServer() { shutdown(); }

bool GameServer::start() {
    completedSave_ = loadCompletedSave(settings_.completedSavePath);
    // A shared store loads each profile and its creatures at their owner's Hello.
    if (settings_.storeBackend == "postgresql") {
        if (!openSharedStore()) return false;
    } else {
        piboStore_.load();
        profileStore_.load();
    }
    repliesWaitForCommit_ = store_->confirmsAfterCommit();
    storesLoaded_ = true;
    loadBanList(true);
    allowFile_.read(allowList_, false);
    fitDescriptorLimit();
    net::returnLargeBlocksWhenFreed();
    if (!socketsReady_) {
        startFailure_ = "Could not start the socket library.";
        return false;
    }
    if (!openListener()) return false;
    if (!openUdpSocket()) printError("Warning: UDP movement unavailable; clients will use TCP fallback.");
    if (!openQuerySocket()) return false;
    if (!watchServerSockets()) return false;
    if (!openRcon()) return false;
    writeMetrics();
    advertiseToMaster(true);
    printStartupReport();
    if (rconPort() != 0)
        printLine("RCON listening on " + settings_.rconBind + ":" + std::to_string(rconPort()));
    if (banList_.size() != 0)
        printLine("Loaded " + std::to_string(banList_.size()) + " bans from " + settings_.banListPath);
    if (allowFile_.enabled())
        printLine("Loaded " + std::to_string(allowList_.size()) + " allowed keys from " + allowFile_.path() +
                  "; only listed players may log on");
    // Last, so that Ready goes out only once everything above is in place.
    if (settings_.agonesSdkPort != 0) {
        agones_.emplace(settings_.agonesSdkPort);
        printLine("Calling the " + agones_->where() + " (Ready, then Health every 2 s)");
    }
    return true;
}

namespace {

constexpr int kUdpSocketBufferBytes = 1024 * 1024;

}  // namespace

// Tries each resolved address in turn; the first socket that binds (and, for a
// stream socket, listens) and turns non-blocking is kept. When none is, `failure`
// names the last step that failed, its address and the system's reason.
net::SocketHandle openBoundSocket(const std::string& bindAddress, uint16_t port,
                                  net::SocketType type, std::string& failure) {
    const std::string node = bindAddress == "*" ? std::string() : bindAddress;
    const std::string kind = type == net::SocketType::Stream ? "TCP" : "UDP";
    std::string reason;
    const auto addresses = net::resolveAddresses(node, port, type, true, &reason);
    if (addresses.empty())
        failure = "Could not resolve the " + kind + " address " + bindAddress + ": " + reason;
    for (const net::ResolvedAddress& address : addresses) {
        const std::string where = kind + " " + net::formatEndpoint(address.address);
        const net::SocketHandle s = net::openSocket(address.family, address.socketType, address.protocol);
        if (s == net::kInvalidSocket) {
            failure = "Could not open a socket for " + where + ": " + net::lastSocketErrorText();
            continue;
        }
        (void)net::setReuseAddress(s);
        std::string step;
        if (!net::bindSocket(s, address.address))
            step = "bind";
        else if (type == net::SocketType::Stream && !net::listenSocket(s))
            step = "listen on";
        else if (!net::setNonBlocking(s))
            step = "make non-blocking";
        if (step.empty()) return s;
        failure = "Could not " + step + " " + where + ": " + net::lastSocketErrorText();
        net::closeSocket(s);
    }
    return net::kInvalidSocket;
}

bool GameServer::openListener() {
    listenSocket_ = openBoundSocket(settings_.bindAddress, settings_.port, net::SocketType::Stream,
                                    startFailure_);
    return listenSocket_ != net::kInvalidSocket;
}

bool GameServer::openUdpSocket() {
    // Port 0 lets the system choose the TCP port; movement then uses that same
    // port, so clients find both channels at one address.
    const uint16_t port = settings_.port != 0 ? settings_.port : tcpPort();
    std::string failure;  // the specified warning stands alone
    udpSocket_ = openBoundSocket(settings_.bindAddress, port, net::SocketType::Datagram, failure);
    if (udpSocket_ == net::kInvalidSocket) return false;
    // Every player's movement arrives on this one socket between two passes. The
    // default buffer drops bursts; a much larger one only turns overload into
    // seconds of stale movement, so about 20 ms of a busy server's input fits.
    (void)net::setBufferSizes(udpSocket_, kUdpSocketBufferBytes);
    return true;
}

bool GameServer::openQuerySocket() {
    if (settings_.queryPort == 0) return true;
    querySocket_ = openBoundSocket(settings_.bindAddress, settings_.queryPort, net::SocketType::Datagram,
                                   startFailure_);
    // Challenge periods count from here, under a secret of this run.
    queryChallenges_ = QueryChallenges(monotonicNowNs());
    return querySocket_ != net::kInvalidSocket;
}

void GameServer::printStartupReport() const {
    printLine("KARST dedicated server listening on " + settings_.bindAddress + ":" +
              std::to_string(settings_.port) + " (global=" + std::to_string(settings_.maxClients) +
              ", room=" + std::to_string(settings_.maxPlayersPerRoom) +
              ", Central Plaza proxies=" + std::to_string(proxies_.size()) + ")");
    if (completedSave_.loaded)
        printLine("Serving completed save " + settings_.completedSavePath);
    else
        printError("Warning: completed save unavailable at " + settings_.completedSavePath);
    if (sharedStore_) {
        printLine("Sharing profiles and Pibo through PostgreSQL (leases of " +
                  std::to_string(settings_.leaseSeconds) + " s)");
    } else {
        printLine("Loaded " + std::to_string(piboStore_.size()) + " persistent Pibo records from " +
                  settings_.piboStorePath);
        printLine("Loaded " + std::to_string(profileStore_.size()) + " persistent player profiles from " +
                  settings_.profileStorePath);
    }
    if (querySocket_ != net::kInvalidSocket)
        printLine("Answering server queries (A2S) on UDP port " + std::to_string(queryPort()));
    if (settings_.listed && !settings_.masterHost.empty())
        printLine("Advertising as " + settings_.serverName + " through " + settings_.masterHost + ":" +
                  std::to_string(settings_.masterPort));
}

void GameServer::writePendingSaves() {
    if (!store_) return;
    store_->flush();
    printDurableEventLines();
}

void GameServer::printPlayerEvent(std::string line) { heldEventLines_.emplace_back(store_->version(), std::move(line)); }

void GameServer::requestStop() { stopRequested_.exchange(true); }

void GameServer::shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    // A server that never loaded its stores must not replace them with empty ones.
    if (storesLoaded_) finalSaveFailed_ = !writeStoresAtShutdown();
    // Player lines of the last pass still waiting for their save.
    writePendingSaves();
    // Only now may Agones take the pod away: nothing is left to save.
    if (agones_) agones_->shutdown();
    agones_.reset();
    poller_.close();
    // Its connection, if still open, is dropped with it; nothing is left to write.
    store_.reset();
    sharedStore_ = nullptr;
    fileStore_ = nullptr;
    for (auto& [socket, connection] : clients_) net::closeSocket(socket);
    closeRcon();
    for (net::SocketHandle* s : {&listenSocket_, &udpSocket_, &masterSocket_, &querySocket_}) {
        if (*s != net::kInvalidSocket) net::closeSocket(*s);
        *s = net::kInvalidSocket;
    }
    rooms_.clear();
    byPlayerId_.clear();
    byProfileKey_.clear();
    pendingHandshakes_.clear();
    activeHubRooms_.clear();
    proxies_.clear();
    startedStageRooms_.clear();
    startCountdowns_.clear();
    clients_.clear();
    if (socketsReady_) net::stopSocketLibrary();
    socketsReady_ = false;
}

uint16_t GameServer::tcpPort() const {
    return listenSocket_ == net::kInvalidSocket ? 0 : net::localPort(listenSocket_);
}

uint16_t GameServer::udpPort() const {
    return udpSocket_ == net::kInvalidSocket ? 0 : net::localPort(udpSocket_);
}

uint16_t GameServer::queryPort() const {
    return querySocket_ == net::kInvalidSocket ? 0 : net::localPort(querySocket_);
}

uint32_t GameServer::uptimeMs() const {
    return static_cast<uint32_t>((monotonicNowNs() - startTime_) / kNsPerMs);
}

}  // namespace karst
