// The load engine against a TestServer in this process, over TCP and over UDP:
// every bot joins, every counted record reaches its room mate, and the run passes.
#include "bots/bot_engine.h"
#include "bots/bot_identity.h"
#include "bots/load_report.h"
#include "support/test_server.h"

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

TEST(BotEngine, SmallRunsDeliverEveryRecordOverTcpAndUdp) {
    for (const Transport transport : {Transport::Tcp, Transport::Udp}) {
        SCOPED_TRACE(transport == Transport::Tcp ? "tcp" : "udp");
        testing::TestServer server;
        const LoadSummary s = runLoad(smallRun(server.port(), transport), nullptr);
        EXPECT_EQ(s.botsJoined, 4u);
        EXPECT_EQ(s.rooms, 2u);
        EXPECT_EQ(s.udpBound, transport == Transport::Udp ? 4u : 0u);
        EXPECT_TRUE(s.runCompleted) << s.abortReason;
        EXPECT_GE(s.countedRecords, 4u * 8);  // about 10 per bot in the second
        EXPECT_EQ(s.recordsSent, s.countedRecords);  // 100 ms apart: every record counts
        EXPECT_EQ(s.expected, s.countedRecords);     // one room mate each
        EXPECT_EQ(s.received, s.expected);
        EXPECT_EQ(s.misrouted + s.outOfOrder, 0u);
        EXPECT_GT(s.latency.count(), 0u);
        EXPECT_EQ(exitCodeFor(s), 0);
    }
}

TEST(BotEngine, HeldPlayersStayConnectedInRoomsApartAndSendNothing) {
    testing::TestServer server;
    BotOptions o = smallRun(server.port(), Transport::Tcp);
    o.hold = true;
    o.firstRoom = 100;
    EXPECT_EQ(botRoomKey(o, 0).instance, 101u);
    const LoadSummary s = runLoad(o, nullptr);
    EXPECT_EQ(s.botsJoined, 4u);
    EXPECT_TRUE(s.runCompleted) << s.abortReason;
    EXPECT_EQ(s.recordsSent, 0u);
}

}  // namespace
}  // namespace karst::bots
