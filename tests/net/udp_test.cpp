// The UDP movement channel through a real server on loopback: binding and its
// confirmation, relay by datagram to bound players and by TCP to the others,
// every kind of datagram that must be ignored, and the gate shared with TCP.
#include <gtest/gtest.h>

#include <string>

#include "game/player_state.h"
#include "game/room_players.h"
#include "net/clock.h"
#include "net/coding.h"
#include "../../bench/server_access.h"

namespace karst::testing {
namespace {

using client::PlayerStateRecord;
using Datagram = client::Payload<kUdpDatagramSize>;

constexpr int kNoDatagramWaitMs = 50;

Datagram datagramOf(uint32_t playerId, uint64_t token, const PlayerStateRecord& record,
                    uint32_t sequence) {
    return client::encodeUdpDatagram(client::UdpPlayerState{playerId, token, record}, sequence);
}

Datagram datagramOf(const KarstClient& player, const PlayerStateRecord& record, uint32_t sequence) {
    return datagramOf(player.playerId(), player.udpToken(), record, sequence);
}

size_t countOf(const std::vector<Frame>& frames, MessageType type) {
    return framesOfType(frames, type).size();
}

std::vector<uint32_t> relayedTimes(KarstClient& sender, KarstClient& receiver) {
    std::vector<uint32_t> times;
    for (const Frame& frame : receivedAfter(sender, receiver, MessageType::PlayerState))
        times.push_back(client::decodePlayerState(frame.payload)->timeMs);
    return times;
}

// Binds `player`'s UDP socket with one valid datagram and reads the confirmation.
void bindUdp(KarstClient& player, uint32_t timeMs) {
    ASSERT_TRUE(player.openUdp());
    ASSERT_TRUE(player.sendUdpState(movementIn(kHubRoom, timeMs)));
    ASSERT_EQ(countOf(roundTrip(player), MessageType::UdpBound), 1u);
}

TEST(UdpMovement, FirstValidDatagramBindsConfirmsAndRelaysOverTcpToUnboundPeers) {
    TestServer server;
    auto players = playersInRoom(server, 3, kHubRoom);
    KarstClient& mover = players[0];
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
    EXPECT_EQ(countOf(own, MessageType::PlayerState), 0u);

    PlayerStateRecord expected = movementIn(kHubRoom, 21);
    expected.playerId = mover.playerId();
    for (size_t i : {1u, 2u}) {
        const auto frames = receivedAfter(mover, players[i], MessageType::PlayerState);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_TRUE(sameMovement(*client::decodePlayerState(frames[0].payload), expected));
    }
}

TEST(UdpMovement, BoundPeerGetsDatagramsUnboundPeerGetsTcp) {
    TestServer server;
    auto players = playersInRoom(server, 3, kHubRoom);
    KarstClient& sender = players[0];
    KarstClient& udpPeer = players[1];
    KarstClient& tcpPeer = players[2];
    bindUdp(udpPeer, 1);
    roundTrip(tcpPeer);
    roundTrip(sender);

    ASSERT_TRUE(sender.playerState(movementIn(kHubRoom, 31)));
    const auto overTcp = receivedAfter(sender, tcpPeer, MessageType::PlayerState);
    ASSERT_EQ(overTcp.size(), 1u);
    EXPECT_EQ(countOf(roundTrip(udpPeer), MessageType::PlayerState), 0u);

    const auto datagram = udpPeer.receiveUdp();
    ASSERT_TRUE(datagram.has_value());
    ASSERT_EQ(datagram->size(), kPlayerStateFrameSize);
    // The very frame the TCP peer got: one frame, one sequence, for every recipient.
    std::vector<uint8_t> tcpFrame = client::encodeFrame(
        MessageType::PlayerState, overTcp[0].payload, overTcp[0].header.sequence);
    EXPECT_EQ(*datagram, tcpFrame);
    EXPECT_EQ(client::decodePlayerStateDatagram(*datagram)->playerId, sender.playerId());
    EXPECT_FALSE(udpPeer.receiveUdp(kNoDatagramWaitMs).has_value());
}

TEST(UdpMovement, InvalidDatagramsAreIgnoredAndDoNotBind) {
    TestServer server;
    KarstClient mover = enterPlayer(server, 1, kHubRoom);
    KarstClient unauthenticated;
    ASSERT_TRUE(unauthenticated.connect(server.port()));
    KarstClient peer = enterPlayer(server, 2, kHubRoom);
    // Accepted in connect order, so the silent connection sits between the two ids.
    ASSERT_EQ(peer.playerId(), mover.playerId() + 2);
    const uint32_t silentId = mover.playerId() + 1;
    roundTrip(mover);
    ASSERT_TRUE(mover.openUdp());

    const PlayerStateRecord record = movementIn(kHubRoom, 41);
    const Datagram valid = datagramOf(mover, record, 1);
    std::vector<std::pair<std::string, std::vector<uint8_t>>> cases;
    auto add = [&](const std::string& what, std::vector<uint8_t> bytes) {
        cases.emplace_back(what, std::move(bytes));
    };
    auto modified = [&](size_t offset, auto put, auto value) {
        std::vector<uint8_t> bytes(valid.begin(), valid.end());
        put(bytes.data() + offset, value);
        return bytes;
    };
    add("75 bytes", std::vector<uint8_t>(valid.begin(), valid.end() - 1));
    std::vector<uint8_t> longer(valid.begin(), valid.end());
    longer.push_back(0);
    add("77 bytes", longer);
    longer.resize(300, 0xAA);
    add("300 bytes", longer);
    add("wrong magic", modified(0, putU8, uint8_t{'X'}));
    add("wrong version", modified(4, putU16, uint16_t{6}));
    add("wrong type", modified(6, putU16, uint16_t{7}));
    add("payload length 59", modified(8, putU32, uint32_t{59}));
    add("payload length 61", modified(8, putU32, uint32_t{61}));
    add("wrong token", modified(kFrameHeaderSize + 4, putU64, mover.udpToken() ^ 1));
    add("zero token", modified(kFrameHeaderSize + 4, putU64, uint64_t{0}));
    add("unknown player", modified(kFrameHeaderSize, putU32, uint32_t{999999}));
    const auto unauthenticatedCase = datagramOf(silentId, 0, record, 1);
    add("connection without Hello",
        std::vector<uint8_t>(unauthenticatedCase.begin(), unauthenticatedCase.end()));
    const auto wrongRoom = datagramOf(mover, movementIn(kOtherHubRoom, 41), 1);
    add("wrong room", std::vector<uint8_t>(wrongRoom.begin(), wrongRoom.end()));
    add("sequence 0", modified(12, putU32, uint32_t{0}));
    PlayerStateRecord nan = record;
    nan.velocity[1] = std::numeric_limits<float>::quiet_NaN();
    const auto nanCase = datagramOf(mover, nan, 1);
    add("NaN velocity", std::vector<uint8_t>(nanCase.begin(), nanCase.end()));

    for (const auto& [what, bytes] : cases) {
        ASSERT_TRUE(mover.sendUdpRaw(bytes)) << what;
        EXPECT_EQ(countOf(roundTrip(mover), MessageType::UdpBound), 0u) << what;
        EXPECT_TRUE(receivedAfter(mover, peer, MessageType::PlayerState).empty()) << what;
    }
    EXPECT_FALSE(mover.closedByPeer(kNoDatagramWaitMs));

    // The same datagram, whole and valid, is accepted after all of that.
    ASSERT_TRUE(mover.sendUdpRaw(valid));
    EXPECT_EQ(countOf(roundTrip(mover), MessageType::UdpBound), 1u);
    EXPECT_EQ(relayedTimes(mover, peer), std::vector<uint32_t>{41});
}

TEST(UdpMovement, ZeroOrOldSequenceIsIgnored) {
    TestServer server;
    auto players = playersInRoom(server, 2, kHubRoom);
    ASSERT_TRUE(players[0].openUdp());
    ASSERT_TRUE(players[0].sendUdpRaw(datagramOf(players[0], movementIn(kHubRoom, 1), 5)));
    ASSERT_EQ(relayedTimes(players[0], players[1]), std::vector<uint32_t>{1});

    advanceMonotonicClockForTesting(kPlayerStateSpacingNs);
    ASSERT_TRUE(players[0].sendUdpRaw(datagramOf(players[0], movementIn(kHubRoom, 2), 5)));
    ASSERT_TRUE(players[0].sendUdpRaw(datagramOf(players[0], movementIn(kHubRoom, 3), 0)));
    ASSERT_TRUE(players[0].sendUdpRaw(datagramOf(players[0], movementIn(kHubRoom, 4), 4)));
    ASSERT_TRUE(players[0].sendUdpRaw(datagramOf(players[0], movementIn(kHubRoom, 5), 6)));
    EXPECT_EQ(relayedTimes(players[0], players[1]), std::vector<uint32_t>{5});
}

TEST(UdpMovement, RightTokenFromAnotherPortIsIgnoredOnceBound) {
    TestServer server;
    auto players = playersInRoom(server, 2, kHubRoom);
    bindUdp(players[0], 1);
    roundTrip(players[1]);
    advanceMonotonicClockForTesting(kPlayerStateSpacingNs);

    KarstClient impostor;
    ASSERT_TRUE(impostor.connect(server.port()));
    ASSERT_TRUE(impostor.openUdp());
    ASSERT_TRUE(impostor.sendUdpRaw(datagramOf(players[0], movementIn(kHubRoom, 2), 100)));
    EXPECT_TRUE(relayedTimes(players[0], players[1]).empty());

    ASSERT_TRUE(players[0].sendUdpState(movementIn(kHubRoom, 3)));
    EXPECT_EQ(relayedTimes(players[0], players[1]), std::vector<uint32_t>{3});
}

TEST(UdpMovement, FifteenMillisecondGateIsSharedWithTcp) {
    TestServer server;
    auto players = playersInRoom(server, 2, kHubRoom);
    KarstClient& mover = players[0];
    ASSERT_TRUE(mover.openUdp());
    ASSERT_TRUE(mover.playerState(movementIn(kHubRoom, 1)));
    roundTrip(mover);
    // Bound and confirmed even though the gate then drops it.
    ASSERT_TRUE(mover.sendUdpState(movementIn(kHubRoom, 2)));
    EXPECT_EQ(countOf(roundTrip(mover), MessageType::UdpBound), 1u);
    EXPECT_EQ(relayedTimes(mover, players[1]), std::vector<uint32_t>{1});

    advanceMonotonicClockForTesting(kPlayerStateSpacingNs);
    ASSERT_TRUE(mover.sendUdpState(movementIn(kHubRoom, 3)));
    roundTrip(mover);
    ASSERT_TRUE(mover.playerState(movementIn(kHubRoom, 4)));
    EXPECT_EQ(relayedTimes(mover, players[1]), std::vector<uint32_t>{3});
}

TEST(UdpMovement, UdpSequenceIsCountedApartFromTcp) {
    TestServer server;
    auto players = playersInRoom(server, 2, kHubRoom);
    players[0].setNextSequence(100);
    roundTrip(players[0]);
    ASSERT_TRUE(players[0].openUdp());
    ASSERT_TRUE(players[0].sendUdpRaw(datagramOf(players[0], movementIn(kHubRoom, 7), 1)));
    EXPECT_EQ(countOf(roundTrip(players[0]), MessageType::UdpBound), 1u);
    EXPECT_EQ(relayedTimes(players[0], players[1]), std::vector<uint32_t>{7});
}

TEST(UdpMovement, WithoutUdpSocketBoundPlayersAreServedOverTcp) {
    // A server that never opened its sockets stands for one whose UDP socket failed.
    ServerSettings settings;
    settings.proxyCount = 0;
    settings.metricsPath.clear();
    GameServer server(settings);
    GameServerTestAccess access(server);
    ClientConnection& sender = access.addPlayer(kHubRoom);
    ClientConnection& bound = access.addPlayer(kHubRoom);
    bound.udpBound = true;
    std::array<uint8_t, kPlayerStateSize> record{};
    encodeRoomKey(record.data() + kStateRoomKeyOffset, kHubRoom);
    FrameHeader header;
    header.type = static_cast<uint16_t>(MessageType::PlayerState);
    header.payloadLength = kPlayerStateSize;

    EXPECT_TRUE(access.dispatch(sender, header, record));
    EXPECT_EQ(bound.sendQueue.size(), kPlayerStateFrameSize);
    EXPECT_TRUE(sender.sendQueue.empty());
    access.forgetConnections();
}

}  // namespace
}  // namespace karst::testing
