// Descriptors as a resource: every client holds one, and so do the listener,
// the UDP socket, the master socket and each file being saved. At start-up the
// soft limit is raised as far as maxClients needs; where the system allows less,
// the server says how many clients it can really hold and stops accepting there,
// keeping the reserve its saves need. If accept still runs out (descriptors used
// elsewhere, the system's own table full, memory), the listener rests for a
// moment instead of waking every pass: the waiting players stay in the backlog
// and are admitted once connections close.
#include <algorithm>
#include <string>

#include "app/console.h"
#include "app/game_server.h"
#include "net/clock.h"

namespace karst {

namespace {
// Standard streams, listener, UDP and master sockets, a store's temporary file
// and its directory while saving, with room for the resolver and the console.
constexpr uint64_t kReservedDescriptors = 16;
constexpr uint64_t kAcceptRestNs = 100 * kNsPerMs;
}  // namespace

void GameServer::fitDescriptorLimit() {
    const uint64_t wanted = uint64_t{settings_.maxClients} + kReservedDescriptors;
    const uint64_t limit = net::raiseDescriptorLimit(wanted);
    if (limit >= wanted) return;
    clientCapacity_ = static_cast<uint32_t>(std::max<uint64_t>(
        1, limit > kReservedDescriptors ? limit - kReservedDescriptors : 0));
    printError("Warning: the open file limit of " + std::to_string(limit) + " holds only " +
               std::to_string(clientCapacity_) + " clients at once, not maxclients " +
               std::to_string(settings_.maxClients) + "; raise it (ulimit -n, LimitNOFILE=)");
}

bool GameServer::acceptResting() const {
    return acceptRestUntilNs_ != 0 && monotonicNowNs() < acceptRestUntilNs_;
}

bool GameServer::listenerResting() const {
    return clients_.size() >= clientCapacity_ || acceptResting();
}

void GameServer::restListenerAfter(net::AcceptOutcome outcome) {
    if (outcome != net::AcceptOutcome::OutOfResources) return;
    if (!acceptExhaustionReported_)
        printError("Warning: could not accept a connection: " + net::lastSocketErrorText() +
                   "; new players wait until connections close");
    acceptExhaustionReported_ = true;
    acceptRestUntilNs_ = monotonicNowNs() + kAcceptRestNs;
}

}  // namespace karst
