// The event loop: one pass waits up to the 10 ms tick for ready sockets, accepts,
// drains UDP, takes console input, serves each ready connection, closes the ones
// that failed, then runs the periodic work in fixed order.
//
// Sockets stay watched between passes, so a pass costs the ready sockets rather
// than every connection. A queue is written at the end of the pass that filled
// it; only a socket that could not take it all is watched for writability, until
// its queue drains.
#include <algorithm>
#include <chrono>
#include <thread>

#include "app/console.h"
#include "app/game_server.h"
#include "net/clock.h"
#include "net/console_input.h"

namespace karst {

namespace {
constexpr int kPollTimeoutMs = 10;
constexpr uint64_t kMetricsIntervalNs = 5 * kNsPerSecond;
// Tokens of the server's own sockets; connections use their player id, which is
// never reused, so a report about a closed connection cannot reach a newer one.
constexpr uint64_t kListenerToken = ~uint64_t{0};
constexpr uint64_t kUdpToken = kListenerToken - 1;
constexpr uint64_t kConsoleToken = kListenerToken - 2;
constexpr uint64_t kStoreToken = kListenerToken - 3;
constexpr uint64_t kQueryToken = kListenerToken - 6;
constexpr uint16_t kFailureEvents = net::kPollError | net::kPollHangUp | net::kPollInvalid;
}  // namespace

int GameServer::run() {
    while (!stopRequested_.load()) runPass();
    return 0;
}

void GameServer::runPass() {
    watchListener();
    watchRconListener();
    if (sharedStore_) watchSharedStore();
    std::error_code waitError;
    if (poller_.wait(kPollTimeoutMs, waitError) < 0) {
        // An interruption (the stop signal) only cuts the pass short.
        if (waitError != std::errc::interrupted) restAfterFailedWait(waitError);
        return;
    }
    if (const uint64_t failures = failedWaits_.succeeded())
        printLine("Waiting for sockets (" + pollerName() + ") works" + againAfterFailures(failures));
    ++passNumber_;
    bool listenerReady = false, udpReady = false, consoleReady = false;
    const bool storeReady = sortReadyEvents(listenerReady, udpReady, consoleReady);
    // First, so that a log-on the store answered is served in this pass.
    if (sharedStore_) serveSharedStore(storeReady);

    if (listenerReady) acceptPending();
    if (udpReady) drainUdp();
    if (queryReady_) drainQueries();
    // Where standard input cannot be watched its bytes are taken every pass.
    if (consoleOpen_) serveConsole(consoleReady || !consoleWatched_);
    // Every pass, for its login and idle deadlines.
    if (rcon_.listener != net::kInvalidSocket) serveRcon();
    serveConnections();
    closeAfterNotices();
    closeExpiredHandshakes();
    for (net::SocketHandle socket : closingList_) disconnect(socket);
    closingList_.clear();
    runPeriodicWork();
    // Disconnects queue their news for the next pass, so one write here still
    // comes before it leaves.
    writePendingSaves();
}

void GameServer::restAfterFailedWait(const std::error_code& error) {
    // A wait that fails at once would otherwise spin the loop at full speed for
    // as long as the failure lasts; resting one tick keeps the timers' pace.
    if (failedWaits_.failed())
        printError("Warning: could not wait for sockets (" + pollerName() + "): " + error.message() +
                   "; the event loop rests " + std::to_string(kPollTimeoutMs) + " ms between attempts");
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollTimeoutMs));
}

std::string GameServer::pollerName() const {
    return poller_.kind() == net::Poller::Kind::Readiness ? "epoll" : "poll";
}

void GameServer::watchListener() {
    // At capacity the listener asks for nothing: a pending connection would
    // otherwise wake every pass at once and spin the loop until a slot frees.
    const uint16_t wanted = listenerResting() ? 0 : net::kPollIn;
    if (wanted == listenerEvents_) return;
    std::error_code error;
    // Not taken over on failure, so the next pass asks again.
    if (!poller_.modify(listenSocket_, wanted, kListenerToken, error)) {
        if (listenerWatchFailures_.failed())
            printError("Warning: could not update the event loop's watch on the listener (TCP port " +
                       std::to_string(tcpPort()) + "): " + error.message() + "; trying again every pass");
        return;
    }
    listenerWatchFailures_.succeeded();
    listenerEvents_ = wanted;
}

void GameServer::watchSharedStore() {
    // libpq may open a new socket (a reconnection) or want to write.
    const int socket = sharedStore_->socket();
    const bool write = sharedStore_->wantsWrite();
    if (socket == watchedStoreSocket_ && write == watchedStoreWrite_) return;
    const uint16_t events = net::kPollIn | (write ? net::kPollOut : 0);
    if (socket >= 0 && socket == watchedStoreSocket_) {
        std::error_code error;
        // Not taken over on failure, so the next pass asks again.
        if (!poller_.modify(static_cast<net::SocketHandle>(socket), events, kStoreToken, error)) {
            if (storeWatchFailures_.failed())
                printError("Warning: could not update the event loop's watch on the database connection: " +
                           error.message() + "; trying again every pass");
            return;
        }
        storeWatchFailures_.succeeded();
        watchedStoreWrite_ = write;
        return;
    }
    if (watchedStoreSocket_ >= 0)
        poller_.remove(static_cast<net::SocketHandle>(watchedStoreSocket_));
    watchedStoreWrite_ = write;
    if (socket < 0) {
        watchedStoreSocket_ = -1;
    } else {
        watchedStoreSocket_ = poller_.add(static_cast<net::SocketHandle>(socket), events, kStoreToken) ? socket : -1;
    }
}

bool GameServer::sortReadyEvents(bool& listenerReady, bool& udpReady, bool& consoleReady) {
    readyConnections_.clear();
    bool storeReady = false;
    queryReady_ = false;
    for (const net::ReadyEvent& event : poller_.ready()) {
        if (event.token == kListenerToken) listenerReady = (event.events & net::kPollIn) != 0;
        else if (event.token == kUdpToken) udpReady = (event.events & net::kPollIn) != 0;
        else if (event.token == kConsoleToken) consoleReady = true;
        else if (event.token == kStoreToken) storeReady = true;
        else if (event.token == kQueryToken) queryReady_ = (event.events & net::kPollIn) != 0;
        else if (event.token == kRconListenerToken) rcon_.listenerReady = true;
        else if (isRconToken(event.token)) rcon_.ready.push_back(event);
        else readyConnections_.push_back(event);
    }
    // Accept order, whatever order the system reported them in.
    std::sort(readyConnections_.begin(), readyConnections_.end(),
              [](const net::ReadyEvent& a, const net::ReadyEvent& b) { return a.token < b.token; });
    return storeReady;
}

void GameServer::serveConnections() {
    // Nothing is closed while the ready list is walked, so every connection found
    // stays valid. Every ready connection is read first and the stores written
    // once, then the queues are written: no reply reporting a change leaves
    // before the file holds it, and a busy pass costs one save, not one per reader.
    served_.resize(readyConnections_.size());
    for (size_t i = 0; i < readyConnections_.size(); ++i) {
        ClientConnection* connection = findConnectionByPlayerId(static_cast<uint32_t>(readyConnections_[i].token));
        served_[i] = {connection, true};
        if (!connection) continue;
        bool ok = !connection->sendOverflow;
        if ((readyConnections_[i].events & net::kPollIn) && !connection->closing) {
            ok = receiveFromConnection(*connection);
            connection->readPass = passNumber_;
        }
        served_[i].ok = ok;
    }
    writePendingSaves();
    for (size_t i = 0; i < readyConnections_.size(); ++i) {
        auto [connection, ok] = served_[i];
        if (!connection) continue;
        if (ok && (readyConnections_[i].events & net::kPollOut)) ok = flushSendQueue(*connection);
        if (!ok || (readyConnections_[i].events & kFailureEvents)) scheduleClose(*connection);
    }
    // A queue filled during this pass is written now rather than a pass later:
    // a socket that cannot take it just reports "would block" and is watched.
    for (size_t i = 0; i < pendingWrites_.size(); ++i) {
        ClientConnection* connection = findConnectionByPlayerId(pendingWrites_[i]);
        if (!connection) continue;
        connection->writePending = false;
        if (!connection->closeScheduled && !flushSendQueue(*connection)) scheduleClose(*connection);
    }
    pendingWrites_.clear();
    // An overflowed queue closes its connection in the first pass that brings it
    // nothing to read, whether or not anything was reported for it.
    std::erase_if(overflowed_, [&](uint32_t id) {
        ClientConnection* connection = findConnectionByPlayerId(id);
        if (!connection) return true;
        if (connection->readPass == passNumber_) return false;
        scheduleClose(*connection);
        return true;
    });
}

void GameServer::scheduleClose(ClientConnection& connection) {
    if (connection.closeScheduled) return;
    connection.closeScheduled = true;
    closingList_.push_back(connection.socket);
}

void GameServer::closeAfterNotices() {
    // Connections accepted in this pass were not served above; their notice is
    // written here, and whatever the socket cannot take now is lost with it.
    for (net::SocketHandle socket : closeAfterNotice_) {
        const auto it = clients_.find(socket);
        if (it == clients_.end() || it->second->closeScheduled) continue;
        if (it->second->hasUnsentBytes()) (void)flushSendQueue(*it->second);
        scheduleClose(*it->second);
    }
    closeAfterNotice_.clear();
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
        scheduleClose(*it->second);
    }
}

void GameServer::runPeriodicWork() {
    tickStageCountdowns();
    tickHubProxies();
    advertiseToMaster(false);
    checkBanFile();
    allowFile_.reloadIfChanged(allowList_, false);
    const uint64_t now = monotonicNowNs();
    if (agones_) agones_->serve(now);
    if (lastMetricsTime_ == 0 || elapsedAtLeast(now, lastMetricsTime_, kMetricsIntervalNs)) {
        writeMetrics();
        lastMetricsTime_ = now;
    }
}

void GameServer::openConsole() {
    consoleOpen_ = net::openConsoleInput();
    const net::SocketHandle input = net::consoleInputPollHandle();
    // Standard input that cannot be watched (a regular file, /dev/null) never
    // blocks a read, so it is read every pass instead.
    consoleWatched_ = consoleOpen_ && input != net::kInvalidSocket &&
                      poller_.add(input, net::kPollIn, kConsoleToken);
}

void GameServer::closeConsole() {
    if (consoleWatched_) poller_.remove(net::consoleInputPollHandle());
    consoleWatched_ = false;
    consoleOpen_ = false;
}

bool GameServer::watchServerSockets() {
    const auto kind = settings_.eventLoop == "poll" ? net::Poller::Kind::Poll : net::Poller::Kind::Readiness;
    poller_.open(kind);
    listenerEvents_ = net::kPollIn;
    if (!poller_.add(listenSocket_, listenerEvents_, kListenerToken)) return false;
    if (udpSocket_ != net::kInvalidSocket) (void)poller_.add(udpSocket_, net::kPollIn, kUdpToken);
    if (querySocket_ != net::kInvalidSocket && !poller_.add(querySocket_, net::kPollIn, kQueryToken)) return false;
    return true;
}

}  // namespace karst
