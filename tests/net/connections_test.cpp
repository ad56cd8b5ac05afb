// Connections through real loopback sockets: the gate's closing cases, capacity,
// the receive limit, send order, and the deadline for a silent connection.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "client/messages.h"
#include "net/clock.h"
#include "support/players.h"
#include "support/test_server.h"

namespace karst::testing {
namespace {

using client::KarstClient;

std::vector<uint8_t> pingFrame(uint32_t sequence) {
    return client::encodeFrame(MessageType::Ping, client::encodePing({1, 2, 3, 4}), sequence);
}

TEST(Gate, AnythingButHelloBeforeTheHandshakeCloses) {
    TestServer server;
    KarstClient c;
    ASSERT_TRUE(c.connect(server.port()));
    ASSERT_TRUE(c.ping({1, 2, 3, 4}));
    EXPECT_TRUE(c.closedByPeer());
}

TEST(Gate, UnknownTypesWrongSizesAndBadHeadersClose) {
    TestServer server;
    const auto closesAfter = [&](auto&& send) {
        KarstClient c = welcomedClient(server.port(), "gate", 1);
        send(c);
        return c.closedByPeer();
    };
    EXPECT_TRUE(closesAfter([](KarstClient& c) { c.sendMessage(MessageType::Welcome, std::vector<uint8_t>(24)); }));
    EXPECT_TRUE(closesAfter([](KarstClient& c) { c.sendMessage(static_cast<MessageType>(35), std::vector<uint8_t>{}); }));
    EXPECT_TRUE(closesAfter([](KarstClient& c) { c.sendMessage(MessageType::Ping, std::vector<uint8_t>(5)); }));
    EXPECT_TRUE(closesAfter([](KarstClient& c) { c.sendMessage(MessageType::Ping, std::vector<uint8_t>(4096)); }));
    EXPECT_TRUE(closesAfter([](KarstClient& c) {
        std::vector<uint8_t> frame = pingFrame(50);
        frame[4] = 6;  // version
        c.sendRaw(frame);
    }));
    EXPECT_TRUE(closesAfter([](KarstClient& c) {
        c.sendRaw(client::encodeFrameHeader(static_cast<uint16_t>(MessageType::Ping), 4097, 50));
    }));
}

TEST(Gate, SequenceMustIncrease) {
    TestServer server;
    KarstClient c = welcomedClient(server.port(), "seq", 1);
    ASSERT_TRUE(c.sendRaw(pingFrame(100)));
    ASSERT_TRUE(c.receiveType(MessageType::Pong).has_value());
    ASSERT_TRUE(c.sendRaw(pingFrame(100)));
    EXPECT_TRUE(c.closedByPeer());
}

TEST(Connections, ClientsBeyondCapacityWaitInTheBacklogUntilASlotFrees) {
    TempDir dir;
    ServerSettings settings = testSettings(dir.path());
    settings.maxClients = 2;
    TestServer server(settings);
    KarstClient first = welcomedClient(server.port(), "one", 1);
    KarstClient second = welcomedClient(server.port(), "two", 2);
    KarstClient third;
    ASSERT_TRUE(third.connect(server.port()));  // the kernel completes it; the server does not accept
    ASSERT_TRUE(third.hello("three", 0, client::Colour{}, profileKeyFor(3)));
    EXPECT_FALSE(third.awaitWelcome(200).has_value());
    first.close();
    const auto welcome = third.awaitWelcome();
    ASSERT_TRUE(welcome.has_value());
    EXPECT_EQ(welcome->connectionCount, 2u);
}

TEST(Connections, ABurstBeyondTheReceiveLimitCloses) {
    TestServer server;
    KarstClient c = welcomedClient(server.port(), "burst", 1);
    std::vector<uint8_t> burst;
    uint32_t sequence = 10;
    while (burst.size() < 40000) {
        const std::vector<uint8_t> frame = pingFrame(sequence++);
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(c.sendRaw(burst));
    EXPECT_TRUE(c.closedByPeer());
}

TEST(Connections, PongsComeBackInOrder) {
    TestServer server;
    KarstClient c = welcomedClient(server.port(), "pings", 1);
    for (uint8_t i = 0; i < 50; ++i) ASSERT_TRUE(c.ping({i, 0, 0, 0}));
    for (uint8_t i = 0; i < 50; ++i) {
        const auto pong = c.receiveType(MessageType::Pong);
        ASSERT_TRUE(pong.has_value());
        EXPECT_EQ(pong->payload[0], i);
    }
}

// Connection hygiene: silent connections lose their slots after the deadline.
TEST(HandshakeDeadline, SilentConnectionsAreClosedAndARealPlayerGetsIn) {
    TempDir dir;
    ServerSettings settings = testSettings(dir.path());
    settings.maxClients = 3;
    TestServer server(settings);
    std::vector<KarstClient> silent(3);
    for (KarstClient& c : silent) ASSERT_TRUE(c.connect(server.port()));
    KarstClient player;
    ASSERT_TRUE(player.connect(server.port()));
    ASSERT_TRUE(player.hello("patient", 0, client::Colour{}, profileKeyFor(9)));
    EXPECT_FALSE(player.awaitWelcome(200).has_value());
    advanceMonotonicClockForTesting(10 * kNsPerSecond);
    for (KarstClient& c : silent) EXPECT_TRUE(c.closedByPeer());
    EXPECT_TRUE(player.awaitWelcome().has_value());
}

TEST(HandshakeDeadline, APromptHelloIsNeverAffected) {
    TestServer server;
    KarstClient player = welcomedClient(server.port(), "prompt", 1);
    advanceMonotonicClockForTesting(60 * kNsPerSecond);
    ASSERT_TRUE(player.ping({9, 9, 9, 9}));
    EXPECT_TRUE(player.receiveType(MessageType::Pong).has_value());
}

TEST(HandshakeDeadline, ZeroDisablesTheDeadline) {
    TempDir dir;
    ServerSettings settings = testSettings(dir.path());
    settings.handshakeTimeoutSeconds = 0;
    TestServer server(settings);
    KarstClient silent;
    ASSERT_TRUE(silent.connect(server.port()));
    advanceMonotonicClockForTesting(3600 * kNsPerSecond);
    EXPECT_FALSE(silent.closedByPeer(200));
    ASSERT_TRUE(silent.hello("late", 0, client::Colour{}, profileKeyFor(4)));
    EXPECT_TRUE(silent.awaitWelcome().has_value());
}

}  // namespace
}  // namespace karst::testing
