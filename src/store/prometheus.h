// The metrics in the Prometheus text exposition format (version 0.0.4), for the
// node exporter's textfile collector: every value of the JSON metrics document
// as a gauge, and the traffic and save counters since start. Names follow the
// Prometheus conventions: a "karst_" prefix, base units in the name (seconds,
// bytes), "_total" on counters. Each family has its HELP and TYPE lines first.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "net/traffic_counters.h"
#include "store/metrics.h"

namespace karst {

// Saves of one store since start; `store` is its label value ("profile", "pibo").
struct StoreSaveCounts {
    std::string_view store;
    uint64_t saves = 0;
    uint64_t failures = 0;
};

std::string formatPrometheus(const MetricsSnapshot& snapshot, const TrafficCounters& traffic,
                             std::span<const StoreSaveCounts> stores);

// The file is written with replaceTextFile, as the JSON document is (renamed
// into place, not waited for on disk); the collector reads only names ending in
// ".prom", so it never sees the ".tmp" one.

}  // namespace karst
