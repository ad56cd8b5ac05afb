// The tools' framed link: the unsent limit on both sides (a frame is queued
// whole or not at all, and only a queued frame uses a sequence number).
#include "common/framed_link.h"

#include <gtest/gtest.h>

namespace karst::tools {
namespace {

constexpr size_t kFrameBytes = kFrameHeaderSize + kPingSize;

TEST(FramedLink, UnsentLimitTakesTheLastWholeFrameAndRefusesTheNext) {
    net::startSocketLibrary();
    const auto a = net::resolveAddresses("127.0.0.1", 0, net::SocketType::Stream, true);
    ASSERT_FALSE(a.empty());
    const net::SocketHandle listener = net::openSocket(a[0].family, a[0].socketType, a[0].protocol);
    ASSERT_TRUE(net::bindSocket(listener, a[0].address) && net::listenSocket(listener));
    const auto server = net::resolveAddresses("127.0.0.1", net::localPort(listener),
                                              net::SocketType::Stream, false);
    FramedLink link(2 * kFrameBytes + 1);
    const std::array<uint8_t, kPingSize> ping{};
    EXPECT_FALSE(link.queueFrame(MessageType::Ping, ping));  // not connected yet
    ASSERT_TRUE(link.connect(server.front()));
    EXPECT_TRUE(link.queueFrame(MessageType::Ping, ping));
    EXPECT_TRUE(link.queueFrame(MessageType::Ping, ping));
    EXPECT_FALSE(link.queueFrame(MessageType::Ping, ping));  // would pass the limit
    EXPECT_EQ(link.nextSequence(), 3u);
    EXPECT_TRUE(link.queueRaw(std::span(ping).first(1)));   // exactly at the limit
    EXPECT_FALSE(link.queueRaw(std::span(ping).first(1)));  // one byte over
    EXPECT_TRUE(link.hasUnsent());
    link.close();
    net::closeSocket(listener);
}

}  // namespace
}  // namespace karst::tools
