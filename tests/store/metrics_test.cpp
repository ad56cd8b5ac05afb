// Metrics document: exact text, and writing it without leaving a partial file.
#include "store/metrics.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace karst {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

TEST(Metrics, DocumentIsExactAndCountsAreNotCutTo32Bits) {
    const MetricsSnapshot sample{5'000'000'000, 3, 2, 1, 2, 18'000'000'000'000'000'000u, 41, 17};
    const std::string document =
        "{\n"
        "  \"status\": \"ok\",\n"
        "  \"protocol\": 7,\n"
        "  \"uptime_ms\": 5000000000,\n"
        "  \"connections\": 3,\n"
        "  \"authenticated_players\": 2,\n"
        "  \"udp_players\": 1,\n"
        "  \"active_rooms\": 2,\n"
        "  \"queued_bytes\": 18000000000000000000,\n"
        "  \"profiles\": 41,\n"
        "  \"pibo_records\": 17\n"
        "}\n";
    EXPECT_EQ(formatMetrics(sample), document);

    TempDir dir;
    const std::string path = dir.file("SAVEDATA/karst-metrics.json");
    ASSERT_TRUE(writeMetricsFile(path, sample));
    EXPECT_EQ(testing::readBytes(path), testing::bytesOf(document));
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

}  // namespace
}  // namespace karst
