// Formats and writes the metrics document. Numbers are plain decimal; the file is
// written in binary, so its line ends are "\n" on every platform.
#include "store/metrics.h"

#include "net/protocol.h"
#include "store/file_replace.h"

#include <span>
#include <system_error>

namespace karst {

namespace {

void appendLine(std::string& out, std::string_view key, std::string_view value, bool last) {
    out += "  \"";
    out += key;
    out += "\": ";
    out += value;
    out += last ? "\n" : ",\n";
}

}  // namespace

std::string formatMetrics(const MetricsSnapshot& snapshot) {
    std::string out = "{\n";
    appendLine(out, "status", "\"ok\"", false);
    appendLine(out, "protocol", std::to_string(kProtocolVersion), false);
    appendLine(out, "uptime_ms", std::to_string(snapshot.uptimeMs), false);
    for (const SnapshotCount& count : kSnapshotCounts)
        appendLine(out, count.jsonKey, std::to_string(snapshot.*count.value), &count == &kSnapshotCounts.back());
    out += "}\n";
    return out;
}

bool writeMetricsFile(const std::string& path, const MetricsSnapshot& snapshot) {
    std::error_code ignored;
    return writeMetricsFile(path, snapshot, ignored);
}

bool writeMetricsFile(const std::string& path, const MetricsSnapshot& snapshot,
                      std::error_code& error) {
    error.clear();
    if (path.empty()) return true;
    return replaceTextFile(path, formatMetrics(snapshot), error);
}

}  // namespace karst
