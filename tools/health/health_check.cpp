#include "health/health_check.h"

#include "common/command_line.h"

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace karst::health {
namespace {

// The document is a dozen short lines; anything much larger is not it.
constexpr std::uintmax_t kMaxMetricsBytes = 64 * 1024;

// The value of `"key": value` on a line of its own, without the trailing comma.
std::optional<std::string_view> valueOf(std::string_view text, std::string_view key) {
    const std::string needle = "\"" + std::string(key) + "\": ";
    const size_t at = text.find(needle);
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view value = text.substr(at + needle.size());
    value = value.substr(0, value.find('\n'));
    if (!value.empty() && value.back() == ',') value.remove_suffix(1);
    return value;
}

}  // namespace

HealthOptionsOutcome parseHealthOptions(std::span<const std::string> args) {
    static const std::array<tools::OptionSpec<HealthOptions>, 2> table{{
        {"--metrics", true,
         [](HealthOptions& o, std::string_view path) {
             if (path.empty()) return std::string("--metrics needs a path.");
             o.metricsPath = std::string(path);
             return std::string();
         }},
        tools::boundedOption<HealthOptions>("--max-age", 1, 3600, &HealthOptions::maxAgeSeconds),
    }};
    const tools::ParsedOptions<HealthOptions> parsed =
        tools::parseOptions<HealthOptions>(args, table);
    return {parsed.options, parsed.helpRequested, parsed.error};
}

std::string healthUsage() {
    return "Usage: karst_health [--metrics PATH] [--max-age SECONDS]\n"
           "Exits 0 when the server's metrics file (default SAVEDATA/karst-metrics.json,\n"
           "from the working directory) says \"ok\" and was rewritten within the last\n"
           "SECONDS (default 15, at most 3600); 1 otherwise, with the reason.\n";
}

std::string judgeMetrics(std::string_view text, int64_t ageSeconds, uint64_t maxAgeSeconds) {
    const std::optional<std::string_view> status = valueOf(text, "status");
    if (!status) return "the metrics file has no status";
    if (*status != "\"ok\"") return "the server's status is " + std::string(*status);
    if (ageSeconds > static_cast<int64_t>(maxAgeSeconds))
        return "the metrics file was last rewritten " + std::to_string(ageSeconds) +
               " s ago (at most " + std::to_string(maxAgeSeconds) + " s allowed)";
    return std::string();
}

HealthVerdict checkHealth(const HealthOptions& options) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_time_type written = fs::last_write_time(options.metricsPath, error);
    const std::uintmax_t size = error ? 0 : fs::file_size(options.metricsPath, error);
    if (error) return {false, "unhealthy: cannot read " + options.metricsPath + ": " + error.message()};
    if (size > kMaxMetricsBytes)
        return {false, "unhealthy: " + options.metricsPath + " is too large to be the metrics file"};
    std::ifstream file(options.metricsPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(
        fs::file_time_type::clock::now() - written);
    const std::string reason = judgeMetrics(text.str(), age.count(), options.maxAgeSeconds);
    if (!reason.empty()) return {false, "unhealthy: " + reason};
    const std::string uptime(valueOf(text.str(), "uptime_ms").value_or("?"));
    const std::string connections(valueOf(text.str(), "connections").value_or("?"));
    return {true, "healthy: up " + uptime + " ms, " + connections + " connections"};
}

}  // namespace karst::health
