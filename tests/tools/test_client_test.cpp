// KarstClient over loopback against plain sockets the test opens itself: what
// the client writes arrives as frames, what a peer writes (whole, split, or
// followed by a close) comes back out of receive() and friends, and no wait
// outlives its timeout.
#include "client/test_client.h"

#include "net/coding.h"
#include "net/socket.h"

#include <gtest/gtest.h>
#include <vector>

namespace karst::client {
namespace {

constexpr int kWaitMs = 2000;

// A TCP listener (and a UDP socket on the same port) on 127.0.0.1.
class Peer {
public:
    Peer() {
        net::startSocketLibrary();
        const auto tcp = net::resolveAddresses("127.0.0.1", 0, net::SocketType::Stream, true);
        if (tcp.empty()) return;
        listener_ = net::openSocket(tcp[0].family, tcp[0].socketType, tcp[0].protocol);
        if (!net::bindSocket(listener_, tcp[0].address) || !net::listenSocket(listener_)) return;
        port_ = net::localPort(listener_);
    }
    ~Peer() {
        net::closeSocket(accepted_);
        net::closeSocket(listener_);
        net::closeSocket(udp_);
    }

    uint16_t port() const { return port_; }

    bool accept() {
        if (!waitReady(listener_, net::kPollIn)) return false;
        accepted_ = net::acceptConnection(listener_);
        return accepted_ != net::kInvalidSocket && net::setNonBlocking(accepted_);
    }

    bool write(std::span<const uint8_t> bytes) {
        const net::IoResult r = net::sendBytes(accepted_, bytes);
        return r.status == net::IoStatus::Ok && r.bytes == bytes.size();
    }

    std::vector<uint8_t> read(size_t count) {
        std::vector<uint8_t> out(count);
        size_t got = 0;
        while (got < count && waitReady(accepted_, net::kPollIn)) {
            const net::IoResult r = net::receiveBytes(accepted_, std::span(out).subspan(got));
            if (r.status != net::IoStatus::Ok) break;
            got += r.bytes;
        }
        out.resize(got);
        return out;
    }

    void closeAccepted() {
        net::closeSocket(accepted_);
        accepted_ = net::kInvalidSocket;
    }

    bool openUdp() {
        const auto udp = net::resolveAddresses("127.0.0.1", port_, net::SocketType::Datagram, true);
        if (udp.empty()) return false;
        udp_ = net::openSocket(udp[0].family, udp[0].socketType, udp[0].protocol);
        return net::bindSocket(udp_, udp[0].address);
    }

    std::vector<uint8_t> receiveDatagram(net::SocketAddress& from) {
        std::vector<uint8_t> out(256);
        if (!waitReady(udp_, net::kPollIn)) return {};
        const net::IoResult r = net::receiveDatagram(udp_, out, from);
        out.resize(r.status == net::IoStatus::Ok ? r.bytes : 0);
        return out;
    }

    bool sendDatagram(std::span<const uint8_t> bytes, const net::SocketAddress& to) {
        return net::sendDatagram(udp_, bytes, to).bytes == bytes.size();
    }

private:
    static bool waitReady(net::SocketHandle s, uint16_t events) {
        std::vector<net::PollEntry> entries{net::PollEntry{s, events, 0}};
        return net::pollSockets(entries, kWaitMs) > 0;
    }

    net::SocketHandle listener_ = net::kInvalidSocket;
    net::SocketHandle accepted_ = net::kInvalidSocket;
    net::SocketHandle udp_ = net::kInvalidSocket;
    uint16_t port_ = 0;
};

class ClientLoopback : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(peer.port(), 0);
        ASSERT_TRUE(client.connect(peer.port()));
        ASSERT_TRUE(peer.accept());
    }

    Peer peer;
    KarstClient client;
};

TEST_F(ClientLoopback, FramesCarryIncreasingSequencesFromOne) {
    ASSERT_TRUE(client.joinRoom(RoomKey{26, 3, 0, 0}));
    ASSERT_TRUE(client.setReady(1));
    const auto first = peer.read(kFrameHeaderSize + kJoinRoomSize);
    const auto second = peer.read(kFrameHeaderSize + kSetReadySize);
    ASSERT_EQ(first.size(), kFrameHeaderSize + kJoinRoomSize);
    ASSERT_EQ(second.size(), kFrameHeaderSize + kSetReadySize);
    EXPECT_EQ(first, encodeFrame(MessageType::JoinRoom, encodeJoinRoom(RoomKey{26, 3, 0, 0}), 1));
    EXPECT_EQ(decodeFrameHeader(second)->sequence, 2u);
}

TEST_F(ClientLoopback, ExplicitSequenceLeavesTheCounterAlone) {
    const std::array<uint8_t, 4> ping{1, 2, 3, 4};
    ASSERT_TRUE(client.sendMessageWithSequence(MessageType::Ping, ping, 500));
    ASSERT_TRUE(client.ping(ping));
    EXPECT_EQ(decodeFrameHeader(peer.read(20))->sequence, 500u);
    EXPECT_EQ(decodeFrameHeader(peer.read(20))->sequence, 1u);
    EXPECT_EQ(client.nextSequence(), 2u);
}

TEST_F(ClientLoopback, ReceiveAssemblesAFrameSplitAcrossTwoWrites) {
    const std::array<uint8_t, 4> pong{9, 8, 7, 6};
    const auto frame = encodeFrame(MessageType::Pong, pong, 3);
    ASSERT_TRUE(peer.write(std::span(frame).first(10)));  // not even a whole header
    EXPECT_FALSE(client.receive(50));
    ASSERT_TRUE(peer.write(std::span(frame).subspan(10)));
    const auto got = client.receive(kWaitMs);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->type(), MessageType::Pong);
    EXPECT_EQ(got->header.sequence, 3u);
    EXPECT_EQ(decodePong(got->payload), pong);
}

TEST_F(ClientLoopback, ReceiveTypeSkipsOtherFramesAndDrainCollectsTheRest) {
    std::vector<uint8_t> burst;
    const uint8_t left[4] = {5, 0, 0, 0};
    const uint8_t status[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    uint8_t welcome[24] = {};
    putU32(welcome, 12);
    putU64(welcome + 16, 0x55);
    for (const auto& f : {encodeFrame(MessageType::PlayerLeft, left, 1),
                          encodeFrame(MessageType::Welcome, welcome, 2),
                          encodeFrame(MessageType::RoomStatus, status, 4),
                          encodeFrame(MessageType::RoomStatus, status, 9)})
        burst.insert(burst.end(), f.begin(), f.end());
    ASSERT_TRUE(peer.write(burst));

    const auto w = client.awaitWelcome(kWaitMs);
    ASSERT_TRUE(w);
    EXPECT_EQ(client.playerId(), 12u);
    EXPECT_EQ(client.udpToken(), 0x55u);
    const auto rest = client.drain(100);
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[1].header.sequence, 9u);
    EXPECT_FALSE(client.receive(0));
}

TEST_F(ClientLoopback, PeerCloseIsSeenAfterItsLastFrame) {
    const uint8_t left[4] = {7, 0, 0, 0};
    ASSERT_TRUE(peer.write(encodeFrame(MessageType::PlayerLeft, left, 1)));
    peer.closeAccepted();
    EXPECT_TRUE(client.closedByPeer(kWaitMs));
    const auto last = client.receive(0);
    ASSERT_TRUE(last);
    EXPECT_EQ(decodePlayerLeft(last->payload), 7u);
    EXPECT_FALSE(client.receive(kWaitMs));
}

TEST_F(ClientLoopback, OpenConnectionIsNotReportedClosed) {
    EXPECT_FALSE(client.closedByPeer(50));
    EXPECT_FALSE(client.peerClosed());
}

TEST_F(ClientLoopback, MalformedHeaderIsAFaultNotAWait) {
    auto frame = encodeFrame(MessageType::Pong, std::array<uint8_t, 4>{}, 1);
    frame[0] = 'X';
    ASSERT_TRUE(peer.write(frame));
    EXPECT_FALSE(client.receive(kWaitMs));
    EXPECT_TRUE(client.protocolFault());

    KarstClient second;
    Peer other;
    ASSERT_TRUE(second.connect(other.port()));
    ASSERT_TRUE(other.accept());
    const auto tooLong = encodeFrameHeader(static_cast<uint16_t>(MessageType::Pong), 4097, 1);
    ASSERT_TRUE(other.write(tooLong));
    EXPECT_FALSE(second.receive(kWaitMs));
    EXPECT_TRUE(second.protocolFault());
}

TEST_F(ClientLoopback, RawBytesGoOutUnframed) {
    const std::vector<uint8_t> junk{'K', 'R', 'S'};
    ASSERT_TRUE(client.sendRaw(junk));
    EXPECT_EQ(peer.read(3), junk);
    EXPECT_EQ(client.nextSequence(), 1u);
}

TEST_F(ClientLoopback, UdpStatesUseTheirOwnSequenceAndAnswersParse) {
    ASSERT_TRUE(peer.openUdp());
    ASSERT_TRUE(client.openUdp());
    ASSERT_TRUE(client.ping({0, 0, 0, 0}));  // TCP sequence 1 does not move UDP's
    PlayerStateRecord record;
    record.room = RoomKey{26, 3, 0, 0};
    record.position = {1.0f, 2.0f, 3.0f};
    ASSERT_TRUE(client.sendUdpState(4, 0x1234, record));
    ASSERT_TRUE(client.sendUdpState(4, 0x1234, record));

    net::SocketAddress from;
    const auto first = peer.receiveDatagram(from);
    const auto second = peer.receiveDatagram(from);
    const auto expected = encodeUdpDatagram(UdpPlayerState{4, 0x1234, record}, 1);
    EXPECT_EQ(first, std::vector<uint8_t>(expected.begin(), expected.end()));
    ASSERT_EQ(second.size(), kUdpDatagramSize);
    EXPECT_EQ(decodeFrameHeader(second)->sequence, 2u);
    EXPECT_NE(client.udpLocalPort(), 0);

    record.playerId = 99;
    const auto relay = encodeFrame(MessageType::PlayerState, encodePlayerState(record), 70);
    ASSERT_TRUE(peer.sendDatagram(relay, from));
    const auto got = client.receiveUdp(kWaitMs);
    ASSERT_TRUE(got);
    const auto parsed = decodePlayerStateDatagram(*got);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->playerId, 99u);
    EXPECT_FALSE(client.receiveUdp(20));
}

TEST(ClientConnect, RefusedPortFailsPromptly) {
    uint16_t port = 0;
    {
        Peer gone;
        port = gone.port();
    }
    KarstClient client;
    EXPECT_FALSE(client.connect(port, "127.0.0.1", 1000));
    EXPECT_FALSE(client.connected());
    EXPECT_FALSE(client.receive(0));
    EXPECT_FALSE(client.closedByPeer(0));
}

}  // namespace
}  // namespace karst::client
