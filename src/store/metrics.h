// The metrics document: a small JSON file of the server's health and load for
// outside tools, rewritten whole through a temporary file so readers never see
// half of it. One key per line, "\n" line ends, keys in a fixed order.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

namespace karst {

struct MetricsSnapshot {
    int64_t uptimeMs = 0;
    uint64_t connections = 0;
    uint64_t authenticatedPlayers = 0;
    uint64_t udpPlayers = 0;
    uint64_t activeRooms = 0;
    uint64_t queuedBytes = 0;
    uint64_t profiles = 0;
    uint64_t piboRecords = 0;
};

// Every count of the snapshot, once: its key in the JSON document, its gauge in
// the Prometheus exposition and what it means. Both formats list them in this
// order, after the uptime, so a new count is one member and one line here.
struct SnapshotCount {
    std::string_view jsonKey;
    std::string_view gauge;
    std::string_view help;
    uint64_t MetricsSnapshot::*value;
};

inline constexpr std::array<SnapshotCount, 7> kSnapshotCounts{{
    {"connections", "karst_connections", "TCP connections open, whether or not they completed the handshake.",
     &MetricsSnapshot::connections},
    {"authenticated_players", "karst_authenticated_players", "Connections that completed the handshake.",
     &MetricsSnapshot::authenticatedPlayers},
    {"udp_players", "karst_udp_players", "Players whose UDP movement address is bound.",
     &MetricsSnapshot::udpPlayers},
    {"active_rooms", "karst_active_rooms", "Rooms with at least one player in them.",
     &MetricsSnapshot::activeRooms},
    {"queued_bytes", "karst_queued_bytes", "Bytes queued for players and not yet sent.",
     &MetricsSnapshot::queuedBytes},
    {"profiles", "karst_profiles", "Records in the profile store.", &MetricsSnapshot::profiles},
    {"pibo_records", "karst_pibo_records", "Records in the Pibo store.", &MetricsSnapshot::piboRecords},
}};
// A count added to the snapshot but not to the list would never be written.
static_assert(sizeof(MetricsSnapshot) == sizeof(int64_t) + kSnapshotCounts.size() * sizeof(uint64_t));

std::string formatMetrics(const MetricsSnapshot& snapshot);

// An empty path writes nothing and succeeds. A directory that cannot be created
// fails without writing anything.
bool writeMetricsFile(const std::string& path, const MetricsSnapshot& snapshot);
// The same; on failure `error` says why.
bool writeMetricsFile(const std::string& path, const MetricsSnapshot& snapshot,
                      std::error_code& error);

}  // namespace karst
