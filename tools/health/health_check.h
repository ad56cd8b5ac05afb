// The container's health check, read off the metrics file the server rewrites
// every 5 seconds (docs/files.md): a server whose loop has stopped, hangs or
// can no longer write its files lets the file go stale. It asks nothing of the
// server over the network, so a check every few seconds leaves no trace in the
// server's console.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace karst::health {

inline constexpr std::string_view kDefaultMetricsPath = "SAVEDATA/karst-metrics.json";
// Three missed rewrites: one late write on a busy machine is not yet a failure.
inline constexpr uint64_t kDefaultMaxAgeSeconds = 15;

struct HealthOptions {
    std::string metricsPath = std::string(kDefaultMetricsPath);
    uint64_t maxAgeSeconds = kDefaultMaxAgeSeconds;
};

struct HealthOptionsOutcome {
    std::optional<HealthOptions> options;
    bool helpRequested = false;
    std::string error;
};

HealthOptionsOutcome parseHealthOptions(std::span<const std::string> args);
std::string healthUsage();

// The verdict on the file's text and age: empty when healthy, else the reason.
std::string judgeMetrics(std::string_view text, int64_t ageSeconds, uint64_t maxAgeSeconds);

// Reads the file and judges it; the line to print, prefixed "healthy: " or
// "unhealthy: ", and whether it is healthy.
struct HealthVerdict {
    bool healthy = false;
    std::string line;
};
HealthVerdict checkHealth(const HealthOptions& options);

}  // namespace karst::health
