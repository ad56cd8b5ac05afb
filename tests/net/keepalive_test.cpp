// Accepted sockets ask the system to probe idle peers, so a player whose network
// vanished without a FIN or RST is eventually disconnected and can log in again.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "support/players.h"

namespace karst::testing {
namespace {

int intOption(int fd, int level, int name) {
    int value = -1;
    socklen_t len = sizeof value;
    ::getsockopt(fd, level, name, &value, &len);
    return value;
}

TEST(KeepAlive, AcceptedSocketsProbeIdlePeers) {
    TestServer server;
    client::KarstClient c = welcomedClient(server.port(), "kept", 1);
    // The server runs in this process: its accepted socket is the one descriptor
    // of ours whose local port is the server's and which has a peer.
    int accepted = -1;
    for (int fd = 3; fd < 1024 && accepted < 0; ++fd) {
        sockaddr_in local{}, peer{};
        socklen_t localLen = sizeof local, peerLen = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) == 0 &&
            local.sin_family == AF_INET && ntohs(local.sin_port) == server.port() &&
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0)
            accepted = fd;
    }
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(intOption(accepted, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(intOption(accepted, IPPROTO_TCP, TCP_KEEPIDLE), 60);
    EXPECT_EQ(intOption(accepted, IPPROTO_TCP, TCP_KEEPINTVL), 10);
    EXPECT_EQ(intOption(accepted, IPPROTO_TCP, TCP_KEEPCNT), 6);
    EXPECT_EQ(intOption(accepted, IPPROTO_TCP, TCP_NODELAY), 1);
}

}  // namespace
}  // namespace karst::testing
