// The UDP movement channel through a real server on loopback: binding and its
// confirmation, relay by datagram to bound players and by TCP to the others,
// every kind of datagram that must be ignored, and the gate shared with TCP.

#include "common/wire.h"
#include "support/players.h"

namespace karst::testing {
namespace {

using client::PlayerStateRecord;
using Bytes = std::vector<uint8_t>;

// The time stamps of the movement `receiver` got once `sender`'s earlier messages were handled.
std::vector<uint32_t> relayedTimes(KarstClient& sender, KarstClient& receiver) {
    std::vector<uint32_t> times;
    for (const Frame& frame : receivedAfter(sender, receiver, MessageType::PlayerState))
        times.push_back(client::decodePlayerState(frame.payload)->timeMs);
    return times;
}

Bytes datagramOf(uint32_t playerId, uint64_t token, const PlayerStateRecord& record,
                 uint32_t sequence) {
    const auto d = client::encodeUdpDatagram(client::UdpPlayerState{playerId, token, record}, sequence);
    return Bytes(d.begin(), d.end());
}

Bytes datagramOf(const KarstClient& player, const PlayerStateRecord& record, uint32_t sequence) {
    return datagramOf(player.playerId(), player.udpToken(), record, sequence);
}

size_t boundConfirmations(KarstClient& player) {
    return framesOfType(roundTrip(player), MessageType::UdpBound).size();
}

TEST(UdpMovement, FirstDatagramBindsAndRelaysByDatagramToBoundPeersAndByTcpToOthers) {
    TestServer server;
    auto players = playersInRoom(server, 3, kHubRoom);
    KarstClient& mover = players[0];
    KarstClient& udpPeer = players[1];
    KarstClient& tcpPeer = players[2];
    ASSERT_TRUE(udpPeer.openUdp());
    ASSERT_TRUE(udpPeer.sendUdpState(movementIn(kHubRoom, 1)));
    ASSERT_EQ(boundConfirmations(udpPeer), 1u);
    roundTrip(mover);
    roundTrip(tcpPeer);

    ASSERT_TRUE(mover.openUdp());
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(mover.sendUdpState(movementIn(kHubRoom, 21)));
    const auto own = roundTrip(mover);
    const std::string console = ::testing::internal::GetCapturedStdout();
    const auto bound = framesOfType(own, MessageType::UdpBound);
    ASSERT_EQ(bound.size(), 1u);
    EXPECT_EQ(client::decodeUdpBound(bound[0].payload), mover.udpToken());
    EXPECT_NE(console.find("player " + std::to_string(mover.playerId()) +
                           " authenticated UDP movement\n"),
              std::string::npos)
        << console;
    EXPECT_TRUE(framesOfType(own, MessageType::PlayerState).empty());

    PlayerStateRecord expected = movementIn(kHubRoom, 21);
    expected.playerId = mover.playerId();
    const auto overTcp = framesOfType(roundTrip(tcpPeer), MessageType::PlayerState);
    ASSERT_EQ(overTcp.size(), 1u);
    EXPECT_TRUE(std::ranges::equal(overTcp[0].payload, client::encodePlayerState(expected)));

    EXPECT_TRUE(framesOfType(roundTrip(udpPeer), MessageType::PlayerState).empty());
    const auto datagram = udpPeer.receiveUdp();
    ASSERT_TRUE(datagram.has_value());
    // The very frame the TCP peer got: one frame, one sequence, for every recipient.
    EXPECT_EQ(*datagram, client::encodeFrame(MessageType::PlayerState, overTcp[0].payload,
                                             overTcp[0].header.sequence));
    EXPECT_FALSE(udpPeer.receiveUdp(50).has_value());
}

TEST(UdpMovement, InvalidOrStaleDatagramsAreIgnoredAndDoNotBindOrRebind) {
    TestServer server;
    KarstClient mover = enterPlayer(server, 1, kHubRoom);
    KarstClient unauthenticated;
    ASSERT_TRUE(unauthenticated.connect(server.port()));
    KarstClient peer = enterPlayer(server, 2, kHubRoom);
    roundTrip(mover);
    // Accepted in connect order, so the silent connection sits between the two ids.
    ASSERT_EQ(peer.playerId(), mover.playerId() + 2);
    ASSERT_TRUE(mover.openUdp());

    const PlayerStateRecord record = movementIn(kHubRoom, 41);
    const Bytes valid = datagramOf(mover, record, 5);
    const auto resized = [&](size_t size) {
        Bytes bytes = valid;
        bytes.resize(size, 0xAA);
        return bytes;
    };
    const auto changed = [&](void (*change)(uint8_t*)) {
        Bytes bytes = valid;
        change(bytes.data());
        return bytes;
    };
    PlayerStateRecord nan = record;
    nan.velocity[1] = std::numeric_limits<float>::quiet_NaN();
    const std::pair<const char*, Bytes> cases[] = {
        {"75 bytes", resized(75)},
        {"77 bytes", resized(77)},
        {"300 bytes", resized(300)},
        {"wrong magic", changed([](uint8_t* d) { d[0] = 'X'; })},
        {"wrong version", changed([](uint8_t* d) { tools::putU16(d + 4, 6); })},
        {"wrong type", changed([](uint8_t* d) { tools::putU16(d + 6, 7); })},
        {"payload length 59", changed([](uint8_t* d) { tools::putU32(d + 8, 59); })},
        {"payload length 61", changed([](uint8_t* d) { tools::putU32(d + 8, 61); })},
        {"wrong token", datagramOf(mover.playerId(), mover.udpToken() ^ 1, record, 5)},
        {"zero token", datagramOf(mover.playerId(), 0, record, 5)},
        {"unknown player", datagramOf(999999, mover.udpToken(), record, 5)},
        {"connection without Hello", datagramOf(mover.playerId() + 1, 0, record, 5)},
        {"wrong room", datagramOf(mover, movementIn(kOtherHubRoom, 41), 5)},
        {"sequence 0", datagramOf(mover, record, 0)},
        {"NaN velocity", datagramOf(mover, nan, 5)},
        {"server query", bytesOf(std::string_view("\xFF\xFF\xFF\xFFTSource Engine Query\0", 25))},
    };
    for (const auto& [what, bytes] : cases) {
        ASSERT_TRUE(mover.sendUdpRaw(bytes)) << what;
        EXPECT_EQ(boundConfirmations(mover), 0u) << what;
        EXPECT_TRUE(relayedTimes(mover, peer).empty()) << what;
    }
    EXPECT_FALSE(mover.closedByPeer(0));  // the round trips above came after every datagram

    // The same datagram, whole and valid, is accepted after all of that...
    ASSERT_TRUE(mover.sendUdpRaw(valid));
    EXPECT_EQ(boundConfirmations(mover), 1u);
    EXPECT_EQ(relayedTimes(mover, peer), std::vector<uint32_t>{41});
    // ...and after it only a later sequence is.
    advanceMonotonicClockForTesting(15 * kNsPerMs);
    ASSERT_TRUE(mover.sendUdpRaw(datagramOf(mover, movementIn(kHubRoom, 42), 5)));
    ASSERT_TRUE(mover.sendUdpRaw(datagramOf(mover, movementIn(kHubRoom, 43), 4)));
    ASSERT_TRUE(mover.sendUdpRaw(datagramOf(mover, movementIn(kHubRoom, 44), 6)));
    EXPECT_EQ(relayedTimes(mover, peer), std::vector<uint32_t>{44});
    // The right token from another port does not move the binding.
    advanceMonotonicClockForTesting(15 * kNsPerMs);
    ASSERT_TRUE(unauthenticated.openUdp());
    ASSERT_TRUE(unauthenticated.sendUdpRaw(datagramOf(mover, movementIn(kHubRoom, 45), 100)));
    EXPECT_TRUE(relayedTimes(mover, peer).empty());
    ASSERT_TRUE(mover.sendUdpRaw(datagramOf(mover, movementIn(kHubRoom, 46), 7)));
    EXPECT_EQ(relayedTimes(mover, peer), std::vector<uint32_t>{46});
}

TEST(UdpMovement, FifteenMillisecondGateIsSharedWithTcp) {
    FrozenClocks clocks;
    TestServer server;
    auto players = playersInRoom(server, 2, kHubRoom);
    KarstClient& mover = players[0];
    ASSERT_TRUE(mover.openUdp());
    ASSERT_TRUE(mover.playerState(movementIn(kHubRoom, 1)));
    roundTrip(mover);
    // Bound and confirmed even though the gate then drops it.
    ASSERT_TRUE(mover.sendUdpState(movementIn(kHubRoom, 2)));
    EXPECT_EQ(boundConfirmations(mover), 1u);
    EXPECT_EQ(relayedTimes(mover, players[1]), std::vector<uint32_t>{1});

    advanceMonotonicClockForTesting(15 * kNsPerMs - 1);
    ASSERT_TRUE(mover.sendUdpState(movementIn(kHubRoom, 3)));
    EXPECT_TRUE(relayedTimes(mover, players[1]).empty());
    advanceMonotonicClockForTesting(1);
    ASSERT_TRUE(mover.sendUdpState(movementIn(kHubRoom, 4)));
    roundTrip(mover);
    ASSERT_TRUE(mover.playerState(movementIn(kHubRoom, 5)));
    EXPECT_EQ(relayedTimes(mover, players[1]), std::vector<uint32_t>{4});
}

}  // namespace
}  // namespace karst::testing
