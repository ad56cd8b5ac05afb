// The Prometheus metrics file, read strictly as the text exposition format:
// HELP then TYPE before a family's samples, each family once, valid names and
// label sets, numeric values, counters named "_total". Then a real server's
// counters moving with real traffic, and its gauges agreeing with the JSON file.
#include "store/prometheus.h"

#include <gtest/gtest.h>

#include <cmath>
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

// Sample values by "name{labels}"; the test fails on any line the format forbids.
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

TEST(Prometheus, EveryJsonValueAndEveryCounterInStrictExpositionFormat) {
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
    EXPECT_EQ(parseExposition(formatPrometheus(MetricsSnapshot{7}, {}, {}))
                  .at("karst_uptime_seconds"),
              0.007);
}

TEST(Prometheus, CountersMoveWithRealTrafficAndGaugesMatchTheJsonFile) {
    FrozenClocks clocks;
    TestServer server([](ServerSettings& s) { s.prometheusPath = s.metricsPath + ".prom"; });
    const std::string path = server.settings().prometheusPath;
    const auto idle = parseExposition(fileText(path));
    EXPECT_EQ(idle.at("karst_connections_accepted_total"), 0);
    EXPECT_EQ(idle.at("karst_frames_received_total"), 0);

    auto players = playersInRoom(server, 2, kHubRoom);
    ASSERT_TRUE(players[0].playerState(movementIn(kHubRoom, 11)));
    roundTrip(players[0]);
    roundTrip(players[1]);
    KarstClient faulty = welcomedClient(server.port(), "bad", 9);
    ASSERT_TRUE(faulty.sendMessage(MessageType::Ping, std::vector<uint8_t>(5)));
    ASSERT_TRUE(faulty.closedByPeer());
    roundTrip(players[0]);  // the close and its save are done before this answer

    advanceMonotonicClockForTesting(5 * kNsPerSecond);
    afterTimers(players[0]);
    const auto busy = parseExposition(fileText(path));
    EXPECT_EQ(busy.at("karst_connections_accepted_total"), 3);
    EXPECT_EQ(busy.at("karst_connections_closed_total"), 1);
    EXPECT_EQ(busy.at("karst_protocol_fault_closes_total"), 1);
    EXPECT_EQ(busy.at("karst_movement_records_relayed_total{transport=\"tcp\"}"), 1);
    EXPECT_EQ(busy.at("karst_movement_records_relayed_total{transport=\"udp\"}"), 0);
    // Three Hellos, two joins, a state, four pings and the faulty frame at least.
    EXPECT_GE(busy.at("karst_frames_received_total"), 11);
    EXPECT_GT(busy.at("karst_frames_sent_total"), 5);
    EXPECT_GT(busy.at("karst_received_bytes_total"), 11 * 16);
    EXPECT_GT(busy.at("karst_sent_bytes_total"), 5 * 16);
    // Three log-ons and one log-off, batched per pass, so at least two writes.
    EXPECT_GE(busy.at("karst_store_saves_total{store=\"profile\"}"), 2);
    EXPECT_EQ(busy.at("karst_store_save_failures_total{store=\"profile\"}"), 0);

    const std::string json = fileText(server.settings().metricsPath);
    for (const auto& [key, name] : {std::pair{"connections", "karst_connections"},
                                    {"authenticated_players", "karst_authenticated_players"},
                                    {"active_rooms", "karst_active_rooms"},
                                    {"profiles", "karst_profiles"}}) {
        const std::string line = "\"" + std::string(key) + "\": ";
        const size_t at = json.find(line);
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_EQ(std::stod(json.substr(at + line.size())), busy.at(name)) << key;
    }
    EXPECT_EQ(busy.at("karst_connections"), 2);
}

}  // namespace
}  // namespace karst::testing
