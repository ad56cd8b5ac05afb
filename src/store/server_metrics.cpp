// The server's side of the metrics files: one snapshot of its load, taken in a
// single walk over the connection table, written as the JSON document and, when
// configured, in Prometheus text format with the counters since start. Only
// connections that completed the handshake count as players, rooms or queues.
#include "app/game_server.h"
#include "net/clock.h"
#include "store/file_replace.h"
#include "store/metrics.h"
#include "store/prometheus.h"

namespace karst {

bool GameServer::writeMetrics() {
    if (settings_.metricsPath.empty() && settings_.prometheusPath.empty()) return true;
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
    return writeMetricsDocuments(snapshot);
}

bool GameServer::writeMetricsDocuments(const MetricsSnapshot& snapshot) {
    std::error_code error;
    bool allWritten = true;
    if (!settings_.metricsPath.empty()) {
        const bool written = writeMetricsFile(settings_.metricsPath, snapshot, error);
        metricsSaveReport_.record(written, error);
        allWritten = written;
    }
    if (!settings_.prometheusPath.empty()) {
        const StoreSaveCounts stores[] = {
            {"profile", profileSaveReport_.saves(), profileSaveReport_.failures()},
            {"pibo", piboSaveReport_.saves(), piboSaveReport_.failures()},
        };
        const bool written = replaceTextFile(settings_.prometheusPath,
                                             formatPrometheus(snapshot, traffic_, stores), error);
        prometheusSaveReport_.record(written, error);
        allWritten = allWritten && written;
    }
    return allWritten;
}

}  // namespace karst
