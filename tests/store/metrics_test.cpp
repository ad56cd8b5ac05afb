// The metrics files: the JSON document and the Prometheus text exposition
// format, exact from a snapshot, then a real server's files counting real
// clients and traffic, rewritten every five seconds, the two agreeing.
#include "store/metrics.h"
#include "store/prometheus.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "net/clock.h"
#include "support/players.h"
#include "support/test_server.h"

namespace karst::testing {
namespace {

using client::KarstClient;
namespace fs = std::filesystem;

// Sample values by "name{labels}"; the test fails on any line the format forbids:
// HELP then TYPE before a family's samples, each family once, valid names and
// label sets, numeric values, counters named "_total".
std::map<std::string, double> parseExposition(const std::string& text) {
    static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) (\S.*))");
    static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge))");
    static const std::regex sample(
        R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\.)*"(?:,[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\.)*")*\})? (\S+))");
    std::map<std::string, double> samples;
    std::set<std::string> families;
    std::string helped, family, familyType;
    EXPECT_TRUE(!text.empty() && text.back() == '\n') << "the file must end with a newline";
    std::istringstream lines(text);
    std::string line;
    std::smatch m;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, m, help)) {
            EXPECT_TRUE(families.insert(m[1]).second) << "family twice: " << line;
            helped = m[1];
            family.clear();
        } else if (std::regex_match(line, m, type)) {
            EXPECT_EQ(m[1], helped) << "TYPE without its HELP: " << line;
            family = m[1];
            familyType = m[2];
            EXPECT_TRUE(familyType != "counter" || family.ends_with("_total"))
                << "counter without _total: " << line;
        } else if (std::regex_match(line, m, sample)) {
            EXPECT_EQ(m[1], family) << "sample outside its family: " << line;
            const std::string value = m[3];
            size_t used = 0;
            const double number = std::stod(value, &used);
            EXPECT_EQ(used, value.size()) << line;
            EXPECT_TRUE(std::isfinite(number)) << line;
            EXPECT_TRUE(familyType != "counter" || number >= 0) << line;
            EXPECT_TRUE(samples.emplace(std::string(m[1]) + std::string(m[2]), number).second)
                << "sample twice: " << line;
        } else {
            ADD_FAILURE() << "not exposition format: \"" << line << "\"";
        }
    }
    return samples;
}

int64_t uptimeMs(const std::string& document) {
    const std::string key = "\"uptime_ms\": ";
    const size_t at = document.find(key);
    return at == std::string::npos ? -1 : std::stoll(document.substr(at + key.size()));
}

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
    EXPECT_EQ(readBytes(path), bytesOf(document));
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

TEST(Metrics, EveryJsonValueAndEveryCounterInStrictExpositionFormat) {
    const MetricsSnapshot snapshot{5812, 6, 5, 1, 2, 300, 41, 17};
    TrafficCounters traffic;
    traffic.connectionsAccepted = 9;
    traffic.movementRelayedUdp = 4;
    traffic.queriesAnswered = 5;
    traffic.rconLoginsRefused = 6;
    traffic.allowListRefusals = 7;
    const StoreSaveCounts stores[] = {{"profile", 12, 2}, {"pibo", 3, 0}};
    const auto samples = parseExposition(formatPrometheus(snapshot, traffic, stores));
    const std::map<std::string, double> expected = {
        {"karst_up", 1},
        {"karst_protocol_version", 7},
        {"karst_uptime_seconds", 5.812},
        {"karst_connections", 6},
        {"karst_authenticated_players", 5},
        {"karst_udp_players", 1},
        {"karst_active_rooms", 2},
        {"karst_queued_bytes", 300},
        {"karst_profiles", 41},
        {"karst_pibo_records", 17},
        {"karst_connections_accepted_total", 9},
        {"karst_connections_closed_total", 0},
        {"karst_protocol_fault_closes_total", 0},
        {"karst_frames_received_total", 0},
        {"karst_frames_sent_total", 0},
        {"karst_received_bytes_total", 0},
        {"karst_sent_bytes_total", 0},
        {"karst_movement_records_relayed_total{transport=\"tcp\"}", 0},
        {"karst_movement_records_relayed_total{transport=\"udp\"}", 4},
        {"karst_queries_answered_total", 5},
        {"karst_rcon_logins_refused_total", 6},
        {"karst_allow_list_refusals_total", 7},
        {"karst_store_saves_total{store=\"profile\"}", 12},
        {"karst_store_saves_total{store=\"pibo\"}", 3},
        {"karst_store_save_failures_total{store=\"profile\"}", 2},
        {"karst_store_save_failures_total{store=\"pibo\"}", 0},
    };
    EXPECT_EQ(samples, expected);
    // Sub-second uptimes keep their leading zeros after the point.
    EXPECT_EQ(parseExposition(formatPrometheus(MetricsSnapshot{7}, {}, {})).at("karst_uptime_seconds"), 0.007);
}

// A bare connection, two players in one stage instance, two in one hub, one in
// no room, one that moved and one closed for a bad frame.
TEST(ServerMetrics, FilesCountRealClientsAndTrafficEveryFiveSecondsAndAgree) {
    FrozenClocks clocks;
    TestServer server([](ServerSettings& s) { s.prometheusPath = s.metricsPath + ".prom"; });
    const std::string path = server.settings().metricsPath, promPath = server.settings().prometheusPath;
    const std::string idle = fileText(path);
    EXPECT_EQ(idle, formatMetrics(MetricsSnapshot{uptimeMs(idle), 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(parseExposition(fileText(promPath)).at("karst_connections_accepted_total"), 0);

    KarstClient bare;
    ASSERT_TRUE(bare.connect(server.port()));
    std::vector<KarstClient> players;
    for (uint8_t i = 1; i <= 5; ++i) players.push_back(welcomedClient(server.port(), "P", i));
    for (size_t i = 0; i < 4; ++i)
        ASSERT_TRUE(players[i].joinRoom(i < 2 ? RoomKey{1, 0, 0, 5} : kHubRoom));
    for (KarstClient& player : players) roundTrip(player);
    ASSERT_TRUE(players[2].playerState(movementIn(kHubRoom, 11)));
    KarstClient faulty = welcomedClient(server.port(), "bad", 9);
    ASSERT_TRUE(faulty.sendMessage(MessageType::Ping, std::vector<uint8_t>(5)));
    ASSERT_TRUE(faulty.closedByPeer());
    roundTrip(players[2]);  // the close and its save are done before this answer

    // The first pass wrote the files again; the next write waits five seconds from it.
    const std::string firstPass = fileText(path);
    advanceMonotonicClockForTesting(5 * kNsPerSecond - 1);
    afterTimers(players[0]);
    EXPECT_EQ(fileText(path), firstPass);
    advanceMonotonicClockForTesting(1);
    afterTimers(players[0]);
    const std::string document = fileText(path);
    EXPECT_EQ(document, formatMetrics(MetricsSnapshot{uptimeMs(document), 6, 5, 0, 2, 0, 6, 0}));
    EXPECT_EQ(uptimeMs(document), uptimeMs(idle) + 5000);

    const auto prom = parseExposition(fileText(promPath));
    // Gauges come from the document's snapshot; the format test maps each one.
    EXPECT_EQ(prom.at("karst_connections"), 6);
    EXPECT_EQ(prom.at("karst_connections_accepted_total"), 7);
    EXPECT_EQ(prom.at("karst_connections_closed_total"), 1);
    EXPECT_EQ(prom.at("karst_protocol_fault_closes_total"), 1);
    EXPECT_EQ(prom.at("karst_movement_records_relayed_total{transport=\"tcp\"}"), 1);
    EXPECT_EQ(prom.at("karst_movement_records_relayed_total{transport=\"udp\"}"), 0);
    // Six Hellos, four joins, a state, five pings and the faulty frame at least.
    EXPECT_GE(prom.at("karst_frames_received_total"), 17);
    EXPECT_GT(prom.at("karst_frames_sent_total"), 10);
    EXPECT_GT(prom.at("karst_received_bytes_total"), 17 * 16);
    EXPECT_GT(prom.at("karst_sent_bytes_total"), 10 * 16);
    if (server.settings().storeBackend == "files") {
        // Six log-ons and one log-off, batched per pass, so at least two writes.
        EXPECT_GE(prom.at("karst_store_saves_total{store=\"profile\"}"), 2);
        EXPECT_EQ(prom.at("karst_store_save_failures_total{store=\"profile\"}"), 0);
    }
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
        EXPECT_EQ(entry.path().filename().string().find("metrics"), std::string::npos) << entry.path();
}

}  // namespace
}  // namespace karst::testing
