// Metrics document: exact text, and writing it without leaving partial files.
#include "store/metrics.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

namespace karst {
namespace {

using testing::bytesOf;
using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;
namespace fs = std::filesystem;

constexpr MetricsSnapshot kSample{812, 3, 2, 1, 2, 0, 41, 17};

constexpr std::string_view kSampleDocument =
    "{\n"
    "  \"status\": \"ok\",\n"
    "  \"protocol\": 7,\n"
    "  \"uptime_ms\": 812,\n"
    "  \"connections\": 3,\n"
    "  \"authenticated_players\": 2,\n"
    "  \"udp_players\": 1,\n"
    "  \"active_rooms\": 2,\n"
    "  \"queued_bytes\": 0,\n"
    "  \"profiles\": 41,\n"
    "  \"pibo_records\": 17\n"
    "}\n";

TEST(Metrics, DocumentIsExact) { EXPECT_EQ(formatMetrics(kSample), kSampleDocument); }

TEST(Metrics, UptimeIsNotCutTo32Bits) {
    MetricsSnapshot snapshot;
    snapshot.uptimeMs = 5'000'000'000;
    snapshot.queuedBytes = 18'000'000'000'000'000'000u;
    const std::string document = formatMetrics(snapshot);
    EXPECT_NE(document.find("\"uptime_ms\": 5000000000,\n"), std::string::npos);
    EXPECT_NE(document.find("\"queued_bytes\": 18000000000000000000,\n"), std::string::npos);
}

TEST(Metrics, WriteCreatesDirectoryAndLeavesNoTempFile) {
    TempDir dir;
    const std::string path = dir.file("SAVEDATA/karst-metrics.json");
    ASSERT_TRUE(writeMetricsFile(path, kSample));
    EXPECT_EQ(readBytes(path), bytesOf(kSampleDocument));
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

TEST(Metrics, EmptyPathWritesNothing) {
    TempDir dir;
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());  // an empty path would resolve here
    EXPECT_TRUE(writeMetricsFile("", kSample));
    fs::current_path(previous);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(Metrics, UncreatableDirectoryFailsWithoutWriting) {
    TempDir dir;
    writeBytes(dir.file("SAVEDATA"), bytesOf("a file, not a directory"));
    EXPECT_FALSE(writeMetricsFile(dir.file("SAVEDATA/karst-metrics.json"), kSample));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"SAVEDATA"});
}

}  // namespace
}  // namespace karst
