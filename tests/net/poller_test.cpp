// The poller's refusals: a change it cannot make is returned with the reason,
// the same under the readiness queue and under poll, and leaves the socket
// watched as before.
#include "net/poller.h"

#include <gtest/gtest.h>

namespace karst::net {
namespace {

TEST(Poller, ChangingASocketItDoesNotWatchFailsWithTheSameReasonUnderEitherKind) {
    ASSERT_TRUE(startSocketLibrary());
    const auto addresses = resolveAddresses("127.0.0.1", 0, SocketType::Datagram, true);
    ASSERT_FALSE(addresses.empty());
    const SocketHandle socket = openSocket(addresses[0].family, addresses[0].socketType, addresses[0].protocol);
    ASSERT_NE(socket, kInvalidSocket);
    ASSERT_TRUE(bindSocket(socket, addresses[0].address));
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
    closeSocket(socket);
}

}  // namespace
}  // namespace karst::net
