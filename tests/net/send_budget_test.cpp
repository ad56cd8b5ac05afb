// The memory budget over every send queue, and the cap on connections per
// address: who is cut off, who is spared, and what is reported.

#include <thread>

#include "support/server_access.h"
#include "support/players.h"

namespace karst::testing {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

// Socketless: pings queue pongs (20 bytes each) to the sender alone, and no
// queue is ever written, so the test decides exactly who holds what.
class QueueFiller {
public:
    QueueFiller() : server_(settings()), access_(server_) {}
    ~QueueFiller() { access_.forgetConnections(); }

    ClientConnection& player() { return access_.addPlayer(karst::RoomKey{0, 0, 0, 1}); }
    void pings(ClientConnection& c, int count) {
        FrameHeader header;
        header.type = static_cast<uint16_t>(MessageType::Ping);
        header.payloadLength = kPingSize;
        const std::array<uint8_t, kPingSize> payload{1, 2, 3, 4};
        for (int i = 0; i < count && !c.cutOffByBudget; ++i) ASSERT_TRUE(access_.dispatch(c, header, payload));
    }
    uint64_t heldMemory() {
        EXPECT_EQ(access_.indexFault(), "");
        return held(a) + held(b) + held(c);
    }
    static uint64_t held(const ClientConnection* c) { return c ? c->sendQueue.capacity() : 0; }

    ClientConnection* a = nullptr;
    ClientConnection* b = nullptr;
    ClientConnection* c = nullptr;

private:
    static ServerSettings settings() {
        ServerSettings s;
        s.metricsPath.clear();
        s.banListPath.clear();
        s.sendBudgetMiB = 1;
        return s;
    }
    GameServer server_;
    GameServerTestAccess access_;
};

TEST(SendBudget, TheLargestQueuesAreCutOffFirstAndTheOthersKeepTheirBytes) {
    QueueFiller f;
    f.a = &f.player();
    f.b = &f.player();
    f.c = &f.player();
    f.pings(*f.b, 5000);
    f.pings(*f.c, 5000);
    f.pings(*f.a, 200000);  // until the budget cuts it off: it holds the most
    EXPECT_TRUE(f.a->cutOffByBudget && f.a->sendOverflow);
    EXPECT_EQ(f.a->unsentBytes(), 0u);
    EXPECT_FALSE(f.b->cutOffByBudget || f.c->cutOffByBudget);
    EXPECT_EQ(f.b->unsentBytes(), 5000u * 20);
    EXPECT_EQ(f.c->unsentBytes(), 5000u * 20);

    // Now c's growth crosses the budget while b holds the most: b goes, not c.
    f.pings(*f.b, 20000);
    ASSERT_FALSE(f.b->cutOffByBudget);
    while (!f.b->cutOffByBudget && !f.c->cutOffByBudget) f.pings(*f.c, 1);
    EXPECT_TRUE(f.b->cutOffByBudget);
    EXPECT_FALSE(f.c->cutOffByBudget);
    EXPECT_LE(f.heldMemory(), kMiB);
}

// A sleeper whose small buffers push back on the server at once: everything
// sent to it waits in its queue on the server.
KarstClient sleeperIn(const TestServer& server, uint8_t n, const RoomKey& room) {
    KarstClient c;
    c.setSocketBufferBytes(4096);
    EXPECT_TRUE(c.connect(server.port()));
    EXPECT_TRUE(c.hello("sleeper", 0, client::Colour{1, 2, 3}, profileKeyFor(n)));
    EXPECT_TRUE(c.joinRoom(room));
    return c;
}

TEST(SendBudget, PlayersThatNeverReadAreCutOffWhileAReaderGetsEveryFrame) {
    TestServer server([](ServerSettings& s) { s.sendBudgetMiB = 1; });
    const RoomKey here{0, 0, 0, 40};
    const RoomKey there{0, 0, 0, 41};
    KarstClient reader = enterPlayer(server, 1, here);
    KarstClient busy = enterPlayer(server, 2, there);
    std::vector<KarstClient> sleepers;
    std::vector<uint32_t> sleeperIds;
    for (uint8_t n = 3; n < 6; ++n) {
        sleepers.push_back(sleeperIn(server, n, here));
        // What its arrival brought is read before it begins to sleep.
        ASSERT_TRUE(sleepers.back().awaitWelcome().has_value());
        untilRoomStatus(sleepers.back());
        sleeperIds.push_back(sleepers.back().playerId());
    }
    roundTrip(reader);
    roundTrip(busy);
    // Each round queues 4 frames (124 bytes) per member of `here` 300 times,
    // about 37 KB per sleeper, far below a sleeper's own 2 MiB limit. Past what
    // the kernel's buffers hold, the sleepers' queues together pass the budget,
    // and the rounds go on until every sleeper has been cut off and has left.
    uint32_t sequence = busy.nextSequence();
    size_t expected = 0, received = 0, sleepersLeft = 0;
    for (int round = 0; round < 400 && sleepersLeft < sleepers.size(); ++round) {
        std::vector<uint8_t> burst;
        for (int i = 0; i < 300; ++i)
            for (const RoomKey& key : {here, there}) {
                const auto frame = client::encodeFrame(MessageType::JoinRoom, client::encodeJoinRoom(key), sequence++);
                burst.insert(burst.end(), frame.begin(), frame.end());
            }
        ASSERT_TRUE(busy.sendRaw(burst));
        busy.setNextSequence(sequence);
        roundTrip(busy);
        sequence = busy.nextSequence();
        expected += 300 * 4;
        const std::vector<Frame> frames = roundTrip(reader);
        received += frames.size();
        for (const auto& left : decodeAll(frames, MessageType::PlayerLeft, client::decodePlayerLeft))
            if (std::count(sleeperIds.begin(), sleeperIds.end(), left)) ++sleepersLeft;
    }
    EXPECT_EQ(sleepersLeft, sleepers.size());
    // The reader missed nothing: every move, and each sleeper's departure.
    EXPECT_EQ(received, expected + 2 * sleepers.size());
    const client::RoomStatus status = enterRoom(busy, here, {&reader});
    EXPECT_EQ(status.members, 2);
}

TEST(AddressCap, ConnectionsBeyondTheCapAreClosedAtAcceptUntilASlotFrees) {
    TestServer server([](ServerSettings& s) { s.maxConnectionsPerAddress = 2; });
    KarstClient first = welcomedClient(server.port(), "first", 1);
    KarstClient second;
    ASSERT_TRUE(second.connect(server.port()));  // a handshake not yet made counts too
    roundTrip(first);
    const auto refused = [&] {
        KarstClient c;
        EXPECT_TRUE(c.connect(server.port()));
        EXPECT_TRUE(c.closedByPeer());
        EXPECT_FALSE(c.receive(0).has_value());
    };
    refused();
    refused();
    second.close();
    roundTrip(first);  // its pass reads the close, freeing the slot before the next accept
    // The freed slot lets exactly one more in.
    KarstClient third = reconnect(server.port(), 3);
    EXPECT_TRUE(third.playerId() != 0);
    refused();
}

}  // namespace
}  // namespace karst::testing
