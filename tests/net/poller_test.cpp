// The poller's refusals: a change it cannot make is returned with the reason,
// the same under the readiness queue and under poll, and leaves the socket
// watched as before.
#include "net/poller.h"

#include <gtest/gtest.h>

#include "support/loopback_udp.h"

namespace karst::net {
namespace {

TEST(Poller, ChangingASocketItDoesNotWatchFailsWithTheSameReasonUnderEitherKind) {
    const testing::LoopbackUdp udp;
    const SocketHandle socket = udp.handle();
    for (const Poller::Kind kind : {Poller::Kind::Readiness, Poller::Kind::Poll}) {
        Poller poller;
        poller.open(kind);
        std::error_code error;
        EXPECT_FALSE(poller.modify(socket, kPollIn, 1, error));
        EXPECT_EQ(error, std::errc::no_such_file_or_directory) << error.message();

        // Once watched, a change takes, and the socket reports by its new token.
        ASSERT_TRUE(poller.add(socket, 0, 1));
        EXPECT_TRUE(poller.modify(socket, kPollOut, 2, error));
        EXPECT_FALSE(error);
        ASSERT_EQ(poller.wait(0, error), 1);
        EXPECT_EQ(poller.ready()[0].token, 2u);
        EXPECT_NE(poller.ready()[0].events & kPollOut, 0);
    }
}

}  // namespace
}  // namespace karst::net
