// The event loop: one pass polls every socket with a 10 ms tick, accepts, drains
// UDP, serves each ready connection, closes the ones that failed, then runs the
// periodic work in fixed order.
#include "app/game_server.h"
#include "net/clock.h"

namespace karst {

namespace {
constexpr int kPollTimeoutMs = 10;
constexpr uint64_t kMetricsIntervalNs = 5 * kNsPerSecond;
}  // namespace

int GameServer::run() {
    while (!stopRequested_.load()) runPass();
    return 0;
}

void GameServer::runPass() {
    buildPollSet();
    // An interrupted or failed wait abandons the pass; the next one starts at once.
    if (net::pollSockets(pollSet_, kPollTimeoutMs) < 0) return;

    if (pollSet_[0].revents & net::kPollIn) acceptPending();
    size_t firstConnectionEntry = 1;
    if (udpSocket_ != net::kInvalidSocket) {
        if (pollSet_[1].revents & net::kPollIn) drainUdp();
        firstConnectionEntry = 2;
    }
    serveConnections(firstConnectionEntry);
    closeExpiredHandshakes();
    for (net::SocketHandle socket : closingList_) disconnect(socket);
    closingList_.clear();
    runPeriodicWork();
    // Disconnects queue their news for the next pass, so one write here still
    // comes before it leaves.
    writePendingSaves();
}

void GameServer::buildPollSet() {
    pollSet_.clear();
    pollConnections_.clear();
    pollSet_.reserve(clients_.size() + 2);
    pollConnections_.reserve(clients_.size());
    // At capacity the listener asks for nothing: a pending connection would
    // otherwise wake every pass at once and spin the loop until a slot frees.
    const bool atCapacity = listenerResting();
    pollSet_.push_back({listenSocket_, static_cast<uint16_t>(atCapacity ? 0 : net::kPollIn), 0});
    if (udpSocket_ != net::kInvalidSocket) pollSet_.push_back({udpSocket_, net::kPollIn, 0});
    for (auto& [socket, connection] : clients_) {
        uint16_t events = net::kPollIn;
        if (connection->hasUnsentBytes()) events |= net::kPollOut;
        pollSet_.push_back({socket, events, 0});
        pollConnections_.push_back(connection.get());
    }
}

void GameServer::serveConnections(size_t firstConnectionEntry) {
    // Nothing is closed while the set is walked, so every pointer stays valid.
    // Every ready connection is read first and the stores written once, then
    // the queues are flushed: no reply reporting a change leaves before the file
    // holds it, and a busy pass costs one save instead of one per connection.
    const size_t count = pollSet_.size() - firstConnectionEntry;
    pollOk_.assign(count, 1);
    for (size_t i = 0; i < count; ++i) {
        const uint16_t revents = pollSet_[firstConnectionEntry + i].revents;
        ClientConnection& connection = *pollConnections_[i];
        // An overflowed queue closes its connection in the first pass that brings
        // it nothing to read, whether or not poll reported anything for it.
        bool ok = !connection.sendOverflow;
        if (revents & net::kPollIn) ok = receiveFromConnection(connection);
        pollOk_[i] = ok;
    }
    writePendingSaves();
    for (size_t i = 0; i < count; ++i) {
        const uint16_t revents = pollSet_[firstConnectionEntry + i].revents;
        ClientConnection& connection = *pollConnections_[i];
        bool ok = pollOk_[i] != 0;
        // A queue filled during this pass is written now rather than a pass
        // later: a socket that cannot take it just reports "would block".
        if (ok && connection.hasUnsentBytes()) ok = flushSendQueue(connection);
        if (!ok || (revents & (net::kPollError | net::kPollHangUp | net::kPollInvalid)))
            closingList_.push_back(connection.socket);
    }
}

void GameServer::closeExpiredHandshakes() {
    if (settings_.handshakeTimeoutSeconds == 0) {
        pendingHandshakes_.clear();
        return;
    }
    const uint64_t deadline = settings_.handshakeTimeoutSeconds * kNsPerSecond;
    const uint64_t now = monotonicNowNs();
    // Accept times only grow, so the oldest connections sit at the front.
    while (!pendingHandshakes_.empty() &&
           elapsedAtLeast(now, pendingHandshakes_.front().first, deadline)) {
        const net::SocketHandle socket = pendingHandshakes_.front().second;
        pendingHandshakes_.pop_front();
        const auto it = clients_.find(socket);
        if (it == clients_.end() || it->second->authenticated) continue;
        // A reused socket number belongs to a newer connection with its own entry.
        if (!elapsedAtLeast(now, it->second->acceptedAtNs, deadline)) continue;
        bool alreadyClosing = false;
        for (net::SocketHandle s : closingList_) alreadyClosing = alreadyClosing || s == socket;
        if (!alreadyClosing) closingList_.push_back(socket);
    }
}

void GameServer::runPeriodicWork() {
    tickStageCountdowns();
    tickHubProxies();
    advertiseToMaster(false);
    const uint64_t now = monotonicNowNs();
    if (lastMetricsTime_ == 0 || elapsedAtLeast(now, lastMetricsTime_, kMetricsIntervalNs)) {
        writeMetrics();
        lastMetricsTime_ = now;
    }
}

}  // namespace karst
