// Connections through real loopback sockets: the gate's closing cases, the
// receive limit, and the deadline for a silent connection, which frees capacity.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "net/clock.h"
#include "support/players.h"
#include "support/test_server.h"

namespace karst::testing {
namespace {

using client::KarstClient;

std::vector<uint8_t> pingFrame(uint32_t sequence) {
    return client::encodeFrame(MessageType::Ping, client::encodePing({1, 2, 3, 4}), sequence);
}

TEST(Gate, EachFaultClosesTheConnection) {
    TestServer server;
    KarstClient stranger;
    ASSERT_TRUE(stranger.connect(server.port()));
    ASSERT_TRUE(stranger.ping({1, 2, 3, 4}));  // anything but Hello before the handshake
    EXPECT_TRUE(stranger.closedByPeer());

    std::vector<uint8_t> badVersion = pingFrame(50);
    badVersion[4] = 6;
    const std::function<void(KarstClient&)> faults[] = {
        [](KarstClient& c) { c.sendMessage(MessageType::Welcome, std::vector<uint8_t>(24)); },
        [](KarstClient& c) { c.sendMessage(static_cast<MessageType>(35), std::vector<uint8_t>{}); },
        [](KarstClient& c) { c.sendMessage(MessageType::Ping, std::vector<uint8_t>(5)); },
        [](KarstClient& c) { c.sendMessage(MessageType::Ping, std::vector<uint8_t>(4096)); },
        [&](KarstClient& c) { c.sendRaw(badVersion); },
        [](KarstClient& c) {
            c.sendRaw(client::encodeFrameHeader(static_cast<uint16_t>(MessageType::Ping), 4097, 50));
        },
        [](KarstClient& c) {  // a sequence that does not increase
            c.sendRaw(pingFrame(100));
            c.sendRaw(pingFrame(100));
        },
    };
    for (size_t i = 0; i < std::size(faults); ++i) {
        KarstClient c = welcomedClient(server.port(), "gate", static_cast<uint8_t>(i + 1));
        faults[i](c);
        EXPECT_TRUE(c.closedByPeer()) << i;
    }
}

TEST(Connections, ABurstBeyondTheReceiveLimitCloses) {
    TestServer server;
    KarstClient c = welcomedClient(server.port(), "burst", 1);
    std::vector<uint8_t> burst;
    for (uint32_t sequence = 10; burst.size() < 40000; ++sequence) {
        const std::vector<uint8_t> frame = pingFrame(sequence);
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(c.sendRaw(burst));
    EXPECT_TRUE(c.closedByPeer());
}

// Silent connections lose their slots at the deadline, letting a player waiting in
// the listen backlog in; a prompt Hello is never affected.
TEST(HandshakeDeadline, SilentConnectionsAreClosedAndAPlayerWaitingForASlotGetsIn) {
    TempDir dir;
    ServerSettings settings = testSettings(dir.path());
    settings.maxClients = 3;
    TestServer server(settings);
    KarstClient prompt = welcomedClient(server.port(), "prompt", 1);
    std::vector<KarstClient> silent(2);
    for (KarstClient& c : silent) ASSERT_TRUE(c.connect(server.port()));
    KarstClient patient;
    ASSERT_TRUE(patient.connect(server.port()));  // the kernel completes it; the server does not accept
    ASSERT_TRUE(patient.hello("patient", 0, client::Colour{}, profileKeyFor(9)));
    EXPECT_FALSE(patient.awaitWelcome(200).has_value());
    advanceMonotonicClockForTesting(10 * kNsPerSecond);
    for (KarstClient& c : silent) EXPECT_TRUE(c.closedByPeer());
    const auto welcome = patient.awaitWelcome();
    ASSERT_TRUE(welcome.has_value());
    EXPECT_EQ(welcome->connectionCount, 2u);
    ASSERT_TRUE(prompt.ping({9, 9, 9, 9}));
    EXPECT_TRUE(prompt.receiveType(MessageType::Pong).has_value());
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

namespace karst::testing {
namespace {

// A player that never reads has its queue capped at 2 MiB; once a frame is
// dropped for it, the connection is closed in the next pass that brings it
// nothing to read, while everyone else goes on being served.
TEST(SendQueue, APlayerThatNeverReadsIsClosedOnceItsQueueOverflows) {
    TestServer server;
    client::KarstClient sleeper = welcomedClient(server.port(), "sleeper", 1);
    client::KarstClient busy = welcomedClient(server.port(), "busy", 2);
    const RoomKey here{0, 0, 0, 40};
    const RoomKey there{0, 0, 0, 41};
    ASSERT_TRUE(sleeper.joinRoom(here));
    // Every move of the busy player in and out of the sleeper's room queues
    // PlayerInfo, PlayerLeft and two RoomStatus frames for the sleeper.
    uint32_t sequence = 100;
    // About 15 MB for the sleeper: more than its queue and both kernel buffers.
    for (int round = 0; round < 120; ++round) {
        std::vector<uint8_t> burst;
        for (int i = 0; i < 600; ++i)
            for (const RoomKey& key : {here, there}) {
                const auto frame = client::encodeFrame(
                    MessageType::JoinRoom, client::encodeJoinRoom(key), sequence++);
                burst.insert(burst.end(), frame.begin(), frame.end());
            }
        ASSERT_TRUE(busy.sendRaw(burst));
        // Wait for the server to take the burst in before sending the next one.
        busy.setNextSequence(sequence);
        ASSERT_TRUE(busy.ping({1, 2, 3, 4}));
        ASSERT_TRUE(busy.receiveType(MessageType::Pong, 5000).has_value());
        sequence = busy.nextSequence();
    }
    // The busy player now enters alone: the sleeper has been closed.
    ASSERT_TRUE(busy.joinRoom(here));
    const auto status = busy.receiveType(MessageType::RoomStatus);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(client::decodeRoomStatus(status->payload)->members, 1);
}

}  // namespace
}  // namespace karst::testing
