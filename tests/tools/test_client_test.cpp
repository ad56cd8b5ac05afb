// KarstClient over loopback against a plain socket the test accepts itself: what
// the peer writes (split, broken, or followed by a close) comes back out of
// receive() as it should, since every server test trusts these answers.
#include "client/test_client.h"

#include "net/socket.h"

#include <gtest/gtest.h>
#include <vector>

namespace karst::client {
namespace {

constexpr int kWaitMs = 2000;

bool waitReadable(net::SocketHandle s) {
    std::vector<net::PollEntry> entries{net::PollEntry{s, net::kPollIn, 0}};
    return net::pollSockets(entries, kWaitMs) > 0;
}

// `client` connected to `peer`, a socket accepted from a listener on 127.0.0.1.
class ClientLoopback : public ::testing::Test {
protected:
    void SetUp() override {
        net::startSocketLibrary();
        const auto a = net::resolveAddresses("127.0.0.1", 0, net::SocketType::Stream, true);
        ASSERT_FALSE(a.empty());
        listener_ = net::openSocket(a[0].family, a[0].socketType, a[0].protocol);
        ASSERT_TRUE(net::bindSocket(listener_, a[0].address) && net::listenSocket(listener_));
        ASSERT_TRUE(client.connect(net::localPort(listener_)));
        ASSERT_TRUE(waitReadable(listener_));
        peer = net::acceptConnection(listener_);
        ASSERT_NE(peer, net::kInvalidSocket);
    }
    void TearDown() override {
        net::closeSocket(peer);
        net::closeSocket(listener_);
    }

    void peerWrites(std::span<const uint8_t> bytes) {
        ASSERT_EQ(net::sendBytes(peer, bytes).bytes, bytes.size());
    }

    KarstClient client;
    net::SocketHandle peer = net::kInvalidSocket;

private:
    net::SocketHandle listener_ = net::kInvalidSocket;
};

TEST_F(ClientLoopback, ReceiveAssemblesASplitFrameAndSeesTheCloseAfterIt) {
    const std::array<uint8_t, 4> pong{9, 8, 7, 6};
    const auto frame = encodeFrame(MessageType::Pong, pong, 3);
    peerWrites(std::span(frame).first(10));  // not even a whole header
    EXPECT_FALSE(client.receive(50));
    EXPECT_FALSE(client.closedByPeer(50));
    peerWrites(std::span(frame).subspan(10));
    net::closeSocket(peer);
    peer = net::kInvalidSocket;
    EXPECT_TRUE(client.closedByPeer(kWaitMs));
    const auto got = client.receive(0);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->type(), MessageType::Pong);
    EXPECT_EQ(got->header.sequence, 3u);
    EXPECT_EQ(decodePong(got->payload), pong);
    EXPECT_FALSE(client.receive(kWaitMs));
}

TEST_F(ClientLoopback, MalformedHeaderIsAFaultNotAWait) {
    auto frame = encodeFrame(MessageType::Pong, std::array<uint8_t, 4>{}, 1);
    frame[0] = 'X';
    peerWrites(frame);
    EXPECT_FALSE(client.receive(kWaitMs));
    EXPECT_TRUE(client.protocolFault());
}

}  // namespace
}  // namespace karst::client
