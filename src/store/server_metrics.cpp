// The server's side of the metrics file: one snapshot of its load, taken in a
// single walk over the connection table, handed to writeMetricsFile. Only
// connections that completed the handshake count as players, rooms or queues.
#include "app/game_server.h"
#include "net/clock.h"
#include "store/metrics.h"

namespace karst {

bool GameServer::writeMetrics() {
    if (settings_.metricsPath.empty()) return true;
    MetricsSnapshot snapshot;
    snapshot.uptimeMs = static_cast<int64_t>((monotonicNowNs() - startTime_) / kNsPerMs);
    snapshot.connections = clients_.size();
    for (const auto& [socket, connection] : clients_) {
        if (!connection->authenticated) continue;
        ++snapshot.authenticatedPlayers;
        if (connection->udpBound) ++snapshot.udpPlayers;
        snapshot.queuedBytes += connection->unsentBytes();
    }
    // The room index holds exactly the occupied rooms of authenticated players.
    for (const auto& [key, members] : rooms_)
        if (key.inRoom() && !members.empty()) ++snapshot.activeRooms;
    snapshot.profiles = profileStore_.size();
    snapshot.piboRecords = piboStore_.size();
    std::error_code error;
    const bool written = writeMetricsFile(settings_.metricsPath, snapshot, error);
    metricsSaveReport_.record(written, error);
    return written;
}

}  // namespace karst
