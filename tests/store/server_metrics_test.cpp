// The metrics file of a running server: what it counts among real clients, and
// when it is (re)written.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "client/test_client.h"
#include "net/clock.h"
#include "support/test_server.h"

namespace karst {
namespace {

using client::KarstClient;
using Metrics = std::map<std::string, std::string>;
namespace fs = std::filesystem;

constexpr RoomKey kStage{1, 0, 0, 5};
constexpr RoomKey kHub{11, 0, 0, 0};

// Key to raw value text; empty when the file is missing or not a whole document.
Metrics readMetrics(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string document = text.str();
    if (document.empty() || document.back() != '\n' || document.find('}') == std::string::npos)
        return {};
    Metrics out;
    std::istringstream lines(document);
    for (std::string line; std::getline(lines, line);) {
        const size_t open = line.find('"');
        const size_t close = line.find("\": ");
        if (open == std::string::npos || close == std::string::npos) continue;
        std::string value = line.substr(close + 3);
        if (!value.empty() && value.back() == ',') value.pop_back();
        out[line.substr(open + 1, close - open - 1)] = value;
    }
    return out;
}

// Polls the file until `done` holds for its contents, for at most two seconds
// of real time; returns the last contents seen.
template <typename Done>
Metrics waitForMetrics(const std::string& path, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    Metrics m = readMetrics(path);
    while (!done(m) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        m = readMetrics(path);
    }
    return m;
}

KarstClient player(uint16_t port, uint8_t key) {
    KarstClient c;
    EXPECT_TRUE(c.connect(port));
    ProfileKey profile{};
    profile[0] = key;
    EXPECT_TRUE(c.hello("Player " + std::to_string(key), 0, {9, 9, 9}, profile));
    EXPECT_TRUE(c.awaitWelcome().has_value());
    return c;
}

bool anyTempFile(const fs::path& dir) {
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.path().extension() == ".tmp") return true;
    return false;
}

TEST(ServerMetrics, IdleServerWritesZeroCountsAtStart) {
    testing::TestServer server;
    const Metrics m = readMetrics(server.settings().metricsPath);
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(m.at("status"), "\"ok\"");
    EXPECT_EQ(m.at("protocol"), "7");
    for (const char* key : {"connections", "authenticated_players", "udp_players", "active_rooms",
                            "queued_bytes", "profiles", "pibo_records"})
        EXPECT_EQ(m.at(key), "0") << key;
    EXPECT_FALSE(anyTempFile(fs::path(server.settings().metricsPath).parent_path()));
}

TEST(ServerMetrics, CountsPlayersRoomsAndBareConnectionsEveryFiveSeconds) {
    testing::TestServer server;
    const std::string path = server.settings().metricsPath;
    KarstClient bare;
    ASSERT_TRUE(bare.connect(server.port()));
    // Two in one stage instance, two in one hub, one that never joined a room.
    KarstClient a = player(server.port(), 1);
    KarstClient b = player(server.port(), 2);
    KarstClient c = player(server.port(), 3);
    KarstClient d = player(server.port(), 4);
    KarstClient roomless = player(server.port(), 5);
    ASSERT_TRUE(a.joinRoom(kStage));
    ASSERT_TRUE(b.joinRoom(kStage));
    ASSERT_TRUE(c.joinRoom(kHub));
    ASSERT_TRUE(d.joinRoom(kHub));
    // Each pair has met only once both joins went through.
    ASSERT_TRUE(a.receiveType(MessageType::PlayerInfo).has_value());
    ASSERT_TRUE(c.receiveType(MessageType::PlayerInfo).has_value());
    const int64_t before = std::stoll(readMetrics(path).at("uptime_ms"));

    advanceMonotonicClockForTesting(5 * kNsPerSecond);
    const Metrics m = waitForMetrics(path, [](const Metrics& now) {
        return now.count("connections") && now.at("connections") == "6";
    });
    ASSERT_EQ(m.at("connections"), "6");
    EXPECT_EQ(m.at("authenticated_players"), "5");
    EXPECT_EQ(m.at("udp_players"), "0");
    EXPECT_EQ(m.at("active_rooms"), "2");
    EXPECT_EQ(m.at("queued_bytes"), "0");
    EXPECT_EQ(m.at("profiles"), "5");
    EXPECT_GE(std::stoll(m.at("uptime_ms")), before + 5000);
}

TEST(ServerMetrics, EmptyPathCreatesNoFile) {
    testing::TempDir dir;
    ServerSettings settings = testing::testSettings(dir.path());
    settings.metricsPath.clear();
    testing::TestServer server(settings);
    KarstClient a = player(server.port(), 1);
    advanceMonotonicClockForTesting(5 * kNsPerSecond);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find("metrics"), std::string::npos)
            << entry.path();
        EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
    }
}

}  // namespace
}  // namespace karst
