// The metrics file of a running server: what it counts among real clients, and
// when it is (re)written.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "net/clock.h"
#include "store/metrics.h"
#include "support/players.h"
#include "support/test_server.h"
#include "temp_dir.h"

namespace karst::testing {
namespace {

using client::KarstClient;
namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
    const std::vector<uint8_t> bytes = readBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

int64_t uptimeMs(const std::string& document) {
    const std::string key = "\"uptime_ms\": ";
    const size_t at = document.find(key);
    return at == std::string::npos ? -1 : std::stoll(document.substr(at + key.size()));
}

TEST(ServerMetrics, ZeroAtStartThenPlayersRoomsAndBareConnectionsEveryFiveSeconds) {
    TestServer server;
    const std::string path = server.settings().metricsPath;
    const std::string idle = readFile(path);
    EXPECT_EQ(idle, formatMetrics(MetricsSnapshot{uptimeMs(idle), 0, 0, 0, 0, 0, 0, 0}));

    KarstClient bare;
    ASSERT_TRUE(bare.connect(server.port()));
    // Two in one stage instance, two in one hub, one that never joined a room.
    std::vector<KarstClient> players;
    for (uint8_t i = 1; i <= 5; ++i) players.push_back(welcomedClient(server.port(), "P", i));
    for (size_t i = 0; i < 4; ++i)
        ASSERT_TRUE(players[i].joinRoom(i < 2 ? RoomKey{1, 0, 0, 5} : RoomKey{11, 0, 0, 0}));
    // Each pair has met only once both joins went through.
    ASSERT_TRUE(players[0].receiveType(MessageType::PlayerInfo).has_value());
    ASSERT_TRUE(players[2].receiveType(MessageType::PlayerInfo).has_value());

    advanceMonotonicClockForTesting(5 * kNsPerSecond);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::string document = readFile(path);
    while (document.find("\"connections\": 6,") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        document = readFile(path);
    }
    EXPECT_EQ(document, formatMetrics(MetricsSnapshot{uptimeMs(document), 6, 5, 0, 2, 0, 5, 0}));
    EXPECT_GE(uptimeMs(document), uptimeMs(idle) + 5000);
}

TEST(ServerMetrics, EmptyPathCreatesNoFile) {
    TempDir dir;
    ServerSettings settings = testSettings(dir.path());
    settings.metricsPath.clear();
    TestServer server(settings);
    KarstClient player = welcomedClient(server.port(), "P", 1);
    advanceMonotonicClockForTesting(5 * kNsPerSecond);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const auto& entry : fs::recursive_directory_iterator(dir.path()))  // nor its temp file
        EXPECT_EQ(entry.path().filename().string().find("metrics"), std::string::npos)
            << entry.path();
}

}  // namespace
}  // namespace karst::testing
