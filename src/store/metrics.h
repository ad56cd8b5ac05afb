// The metrics document: a small JSON file of the server's health and load for
// outside tools, rewritten whole through a temporary file so readers never see
// half of it. One key per line, "\n" line ends, keys in a fixed order.
#pragma once

#include <cstdint>
#include <string>
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

std::string formatMetrics(const MetricsSnapshot& snapshot);

// An empty path writes nothing and succeeds. A directory that cannot be created
// fails without writing anything.
bool writeMetricsFile(const std::string& path, const MetricsSnapshot& snapshot);
// The same; on failure `error` says why.
bool writeMetricsFile(const std::string& path, const MetricsSnapshot& snapshot,
                      std::error_code& error);

}  // namespace karst
