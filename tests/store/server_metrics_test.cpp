// The metrics file of a running server: what it counts among real clients, and
// when it is (re)written.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "net/clock.h"
#include "store/metrics.h"
#include "support/players.h"
#include "support/test_server.h"

namespace karst::testing {
namespace {

using client::KarstClient;
namespace fs = std::filesystem;

int64_t uptimeMs(const std::string& document) {
    const std::string key = "\"uptime_ms\": ";
    const size_t at = document.find(key);
    return at == std::string::npos ? -1 : std::stoll(document.substr(at + key.size()));
}

TEST(ServerMetrics, ZeroAtStartThenPlayersRoomsAndBareConnectionsEveryFiveSeconds) {
    FrozenClocks clocks;
    TestServer server;
    const std::string path = server.settings().metricsPath;
    const std::string idle = fileText(path);
    EXPECT_EQ(idle, formatMetrics(MetricsSnapshot{uptimeMs(idle), 0, 0, 0, 0, 0, 0, 0}));

    KarstClient bare;
    ASSERT_TRUE(bare.connect(server.port()));
    // Two in one stage instance, two in one hub, one that never joined a room.
    std::vector<KarstClient> players;
    for (uint8_t i = 1; i <= 5; ++i) players.push_back(welcomedClient(server.port(), "P", i));
    for (size_t i = 0; i < 4; ++i)
        ASSERT_TRUE(players[i].joinRoom(i < 2 ? RoomKey{1, 0, 0, 5} : RoomKey{11, 0, 0, 0}));
    for (KarstClient& player : players) roundTrip(player);

    // The first pass wrote the file again; the next write waits five seconds from it.
    const std::string firstPass = fileText(path);
    advanceMonotonicClockForTesting(5 * kNsPerSecond - 1);
    afterTimers(players[0]);
    EXPECT_EQ(fileText(path), firstPass);
    advanceMonotonicClockForTesting(1);
    afterTimers(players[0]);
    const std::string document = fileText(path);
    EXPECT_EQ(document, formatMetrics(MetricsSnapshot{uptimeMs(document), 6, 5, 0, 2, 0, 5, 0}));
    EXPECT_EQ(uptimeMs(document), uptimeMs(idle) + 5000);
}

TEST(ServerMetrics, EmptyPathCreatesNoFile) {
    TempDir dir;
    ServerSettings settings = testSettings(dir.path());
    settings.metricsPath.clear();
    settings.prometheusPath.clear();
    TestServer server(settings);
    KarstClient player = welcomedClient(server.port(), "P", 1);
    advanceMonotonicClockForTesting(5 * kNsPerSecond);
    afterTimers(player);
    for (const auto& entry : fs::recursive_directory_iterator(dir.path()))  // nor its temp file
        EXPECT_EQ(entry.path().filename().string().find("metrics"), std::string::npos)
            << entry.path();
}

}  // namespace
}  // namespace karst::testing
