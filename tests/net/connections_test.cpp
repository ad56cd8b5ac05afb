// Connections through real loopback sockets: the gate's closing cases, the
// receive limit, and the deadline for a silent connection, which frees capacity.

#include <functional>

// The benchmarks' white-box access, reached by path: it fills a queue without sockets.
#include "support/server_access.h"
#include "support/players.h"

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

    const std::function<void(KarstClient&)> faults[] = {
        [](KarstClient& c) { c.sendMessage(MessageType::Welcome, std::vector<uint8_t>(24)); },
        [](KarstClient& c) { c.sendMessage(static_cast<MessageType>(35), std::vector<uint8_t>{}); },
        [](KarstClient& c) { c.sendMessage(MessageType::Ping, std::vector<uint8_t>(5)); },
        [](KarstClient& c) { c.sendMessage(MessageType::Ping, std::vector<uint8_t>(4096)); },
        // A sequence that does not increase: it stands for every header the frame
        // parser refuses, whose cases the frame codec's own tests hold.
        [](KarstClient& c) {
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

// Everything that arrives between two passes counts: 32,768 buffered bytes (the
// last Ping cut short) are parsed, one byte more closes the connection.
TEST(Connections, TheReceiveLimitHoldsExactly32768BufferedBytes) {
    TestServer server;
    for (const size_t over : {0, 1}) {
        KarstClient c = welcomedClient(server.port(), "burst", static_cast<uint8_t>(1 + over));
        std::vector<uint8_t> burst;
        uint32_t sequence = 10;
        while (burst.size() + 20 < 32768) {
            const std::vector<uint8_t> frame = pingFrame(sequence++);
            burst.insert(burst.end(), frame.begin(), frame.end());
        }
        const std::vector<uint8_t> last = pingFrame(sequence);
        const size_t cut = 32768 + over - burst.size();
        burst.insert(burst.end(), last.begin(), last.begin() + static_cast<std::ptrdiff_t>(cut));
        ASSERT_TRUE(c.sendRaw(burst));
        if (over != 0) {
            EXPECT_TRUE(c.closedByPeer());
            continue;
        }
        // Every whole Ping is answered before the cut one is completed.
        for (uint32_t answered = 10; answered <= sequence; ++answered) {
            if (answered == sequence) {
                ASSERT_TRUE(c.sendRaw(std::span(last).subspan(cut)));
            }
            ASSERT_TRUE(c.receiveType(MessageType::Pong).has_value()) << answered;
        }
    }
}

// Silent connections lose their slots at the deadline, letting players waiting in
// the listen backlog in, as many as there are free slots; a prompt Hello is never affected.
TEST(HandshakeDeadline, SilentConnectionsAreClosedAndAPlayerWaitingForASlotGetsIn) {
    FrozenClocks clocks;
    TestServer server([](ServerSettings& s) { s.maxClients = 3; });
    KarstClient prompt = welcomedClient(server.port(), "prompt", 1);
    std::vector<KarstClient> silent(2);
    for (KarstClient& c : silent) ASSERT_TRUE(c.connect(server.port()));
    roundTrip(prompt);  // both accepted, on the clock as it stands
    std::vector<KarstClient> waiting(3);
    for (uint8_t i = 0; i < 3; ++i) {
        // The kernel completes each connection; the server, at capacity, accepts none.
        ASSERT_TRUE(waiting[i].connect(server.port()));
        ASSERT_TRUE(waiting[i].hello("patient", 0, client::Colour{}, profileKeyFor(9 + i)));
    }
    afterTimers(prompt);
    EXPECT_FALSE(waiting[0].awaitWelcome(0).has_value());
    advanceMonotonicClockForTesting(10 * kNsPerSecond - 1);
    afterTimers(prompt);
    for (KarstClient& c : silent) EXPECT_FALSE(c.closedByPeer(0));
    advanceMonotonicClockForTesting(1);
    for (KarstClient& c : silent) EXPECT_TRUE(c.closedByPeer());
    // The two freed slots take two of them in one pass; the third waits on.
    for (size_t i = 0; i < 2; ++i) {
        const auto welcome = waiting[i].awaitWelcome();
        ASSERT_TRUE(welcome.has_value());
        EXPECT_EQ(welcome->connectionCount, 3u);
    }
    afterTimers(prompt);
    EXPECT_FALSE(waiting[2].awaitWelcome(0).has_value());
    ASSERT_TRUE(prompt.ping({9, 9, 9, 9}));
    EXPECT_TRUE(prompt.receiveType(MessageType::Pong).has_value());
}

// Only unsent bytes count: a queue one Pong short of 2 MiB takes it, and one
// byte more drops the frame and marks the connection.
TEST(SendQueue, Exactly2MiBUnsentAreQueuedAndOneByteMoreDropsTheFrame) {
    TempDir dir;
    GameServer server(testSettings(dir.path()));
    GameServerTestAccess access(server);
    ClientConnection& c = access.addPlayer(karst::RoomKey{0, 0, 0, 7});
    const FrameHeader ping{kProtocolVersion, static_cast<uint16_t>(MessageType::Ping), 4, 1};
    const std::array<uint8_t, 4> payload{1, 2, 3, 4};
    c.sendQueue.resize(2 * 1024 * 1024 - 20);
    ASSERT_TRUE(access.dispatch(c, ping, payload));
    EXPECT_EQ(c.sendQueue.size(), 2u * 1024 * 1024);
    EXPECT_FALSE(c.sendOverflow);
    c.sendOffset = 19;
    ASSERT_TRUE(access.dispatch(c, ping, payload));
    EXPECT_EQ(c.sendQueue.size(), 2u * 1024 * 1024);
    EXPECT_TRUE(c.sendOverflow);
    // It closes in the first pass that reads nothing from it.
    access.drainQueues();
    access.serveConnections(&c);
    EXPECT_FALSE(c.closeScheduled);
    access.serveConnections();
    EXPECT_TRUE(c.closeScheduled);
    access.forgetConnections();
}

}  // namespace
}  // namespace karst::testing
