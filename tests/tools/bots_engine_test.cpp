// The load engine against real sockets: a short run against a TestServer in
// this process, a port nobody listens on and a listener that never answers
// (both must end promptly and count every bot), and the summary's forms.

#include "bots/bot_engine.h"
#include "bots/load_report.h"
#include "net/socket.h"
#include "support/test_server.h"

#include <chrono>
#include <gtest/gtest.h>

namespace karst::bots {
namespace {

BotOptions smallRun(uint16_t port, Transport transport) {
    BotOptions o;
    o.port = port;
    o.bots = 4;
    o.roomSize = 2;
    // 100 ms between records: far from the server's 15 ms gate even on a
    // machine busy enough to delay a record by tens of milliseconds.
    o.hz = 10;
    o.durationSeconds = 1;
    o.transport = transport;
    o.setupTimeoutSeconds = 2;
    o.connectRate = 1000;
    return o;
}

void expectEveryRecordDelivered(const LoadSummary& s) {
    EXPECT_EQ(s.botsJoined, 4u);
    EXPECT_EQ(s.rooms, 2u);
    EXPECT_TRUE(s.runCompleted) << s.abortReason;
    EXPECT_GE(s.countedRecords, 4u * 8);  // about 10 per bot in the second
    EXPECT_EQ(s.expected, s.countedRecords);  // one room mate each
    EXPECT_EQ(s.received, s.expected);
    EXPECT_EQ(lostRecords(s), 0u);
    EXPECT_EQ(s.misrouted, 0u);
    EXPECT_EQ(s.outOfOrder, 0u);
    EXPECT_GT(s.latency.count(), 0u);
    EXPECT_GT(s.latency.max(), 0u);
    EXPECT_EQ(exitCodeFor(s), 0);
}

TEST(BotEngine, SmallTcpRunDeliversEveryRecord) {
    testing::TestServer server;
    const LoadSummary s = runLoad(smallRun(server.port(), Transport::Tcp), nullptr);
    expectEveryRecordDelivered(s);
    EXPECT_EQ(s.recordsSent, s.countedRecords);  // 100 ms apart: every record counts
}

TEST(BotEngine, SmallUdpRunBindsEveryBotAndDeliversEveryRecord) {
    testing::TestServer server;
    const LoadSummary s = runLoad(smallRun(server.port(), Transport::Udp), nullptr);
    expectEveryRecordDelivered(s);
    EXPECT_EQ(s.udpBound, 4u);
}

TEST(BotEngine, NoServerCountsEveryBotAsConnectFailure) {
    uint16_t port = 0;
    {
        testing::TestServer server;
        port = server.port();
    }
    const auto started = std::chrono::steady_clock::now();
    const LoadSummary s = runLoad(smallRun(port, Transport::Tcp), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(s.connectFailures, 4u);
    EXPECT_EQ(s.botsJoined, 0u);
    EXPECT_FALSE(s.runCompleted);
    EXPECT_EQ(s.recordsSent, 0u);
    EXPECT_EQ(exitCodeFor(s), 1);
}

// The kernel completes the TCP handshake for a listener that never accepts, so
// the bots connect, send Hello and hear nothing: setup must give up on them.
TEST(BotEngine, SilentServerEndsSetupAtTheTimeout) {
    net::startSocketLibrary();
    const auto address = net::resolveAddresses("127.0.0.1", 0, net::SocketType::Stream, true);
    ASSERT_FALSE(address.empty());
    const net::SocketHandle listener =
        net::openSocket(address[0].family, address[0].socketType, address[0].protocol);
    ASSERT_TRUE(net::bindSocket(listener, address[0].address) && net::listenSocket(listener));
    BotOptions options = smallRun(net::localPort(listener), Transport::Tcp);
    options.setupTimeoutSeconds = 1;

    const auto started = std::chrono::steady_clock::now();
    const LoadSummary s = runLoad(options, nullptr);
    const auto took = std::chrono::steady_clock::now() - started;
    net::closeSocket(listener);
    net::stopSocketLibrary();

    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::seconds(4));
    EXPECT_EQ(s.handshakeFailures, 4u);
    EXPECT_EQ(s.botsJoined, 0u);
    EXPECT_EQ(s.abortReason, "no bot entered its room");
    EXPECT_EQ(exitCodeFor(s), 1);
}

TEST(BotEngine, StopRequestEndsSetupAtOnce) {
    testing::TestServer server;
    const std::atomic<bool> stop{true};
    const LoadSummary s = runLoad(smallRun(server.port(), Transport::Tcp), nullptr, &stop);
    EXPECT_FALSE(s.runCompleted);
    EXPECT_EQ(s.abortReason, "interrupted during setup");
    EXPECT_EQ(s.recordsSent, 0u);
}

// ---- Summary --------------------------------------------------------------------

LoadSummary sampleSummary() {
    LoadSummary s;
    s.options.bots = 4;
    s.botsJoined = 4;
    s.rooms = 2;
    s.measuredSeconds = 2.0;
    s.countedRecords = 100;
    s.expected = 300;
    s.received = 297;
    s.delivered = 300;  // three records outside the count arrived too
    for (uint64_t v = 1; v <= 100; ++v) s.latency.record(v * 10'000);  // 0.01 .. 1 ms
    s.runCompleted = true;
    return s;
}

TEST(LoadReport, TableShowsTheMeasuredFigures) {
    const std::string table = formatSummaryTable(sampleSummary());
    EXPECT_NE(table.find("records expected       300"), std::string::npos) << table;
    EXPECT_NE(table.find("records lost           3"), std::string::npos) << table;
    EXPECT_NE(table.find("delivery               99.000 %"), std::string::npos) << table;
    EXPECT_NE(table.find("deliveries/s           150\n"), std::string::npos) << table;
    // Within the histogram's 1 %: 0.500 ms lies in a bucket reaching 0.502 ms.
    EXPECT_NE(table.find("relay latency p50      0.502 ms"), std::string::npos) << table;
    EXPECT_NE(table.find("relay latency max      1.000 ms"), std::string::npos) << table;
}

TEST(LoadReport, JsonCarriesTheSameFigures) {
    LoadSummary s = sampleSummary();
    s.abortReason = "say \"why\"";
    const std::string json = formatSummaryJson(s);
    EXPECT_EQ(json.front(), '{');
    EXPECT_NE(json.find("\"recordsExpected\": 300,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"recordsLost\": 3,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"deliveryPercent\": 99.000,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"abortReason\": \"say \\\"why\\\"\"\n}"), std::string::npos) << json;
}

TEST(LoadReport, NothingExpectedShowsNoPercentage) {
    LoadSummary s = sampleSummary();
    s.expected = 0;
    s.received = 0;
    EXPECT_NE(formatSummaryJson(s).find("\"deliveryPercent\": null,"), std::string::npos);
    EXPECT_NE(formatSummaryTable(s).find("n/a"), std::string::npos);
}

TEST(LoadReport, ExitCodeIsZeroOnlyForACompleteRunWithEveryBot) {
    LoadSummary s = sampleSummary();
    EXPECT_EQ(exitCodeFor(s), 0);
    s.closedDuringRun = 1;
    EXPECT_EQ(exitCodeFor(s), 1);
    s = sampleSummary();
    s.botsJoined = 3;
    EXPECT_EQ(exitCodeFor(s), 1);
    s = sampleSummary();
    s.runCompleted = false;
    EXPECT_EQ(exitCodeFor(s), 1);
}

TEST(LoadReport, ProgressLineNamesEveryFigure) {
    ProgressSample p;
    p.elapsedSeconds = 12.0;
    p.phase = "run";
    p.connectedBots = 2040;
    p.totalBots = 2048;
    p.sentLastSecond = 61440;
    p.deliveredLastSecond = 430080;
    p.p99Ns = 412'000;
    EXPECT_EQ(formatProgressLine(p),
              "[   12.0 s] run     bots 2040/2048  sent/s 61440  delivered/s 430080  p99 0.412 ms");
    p.p99Ns = 0;
    EXPECT_NE(formatProgressLine(p).find("p99 -"), std::string::npos);
}

}  // namespace
}  // namespace karst::bots
