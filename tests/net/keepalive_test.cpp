// Accepted sockets ask the system to probe idle peers, so a player whose network
// vanished without a FIN or RST is eventually disconnected and can log in again.
#include <gtest/gtest.h>

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <optional>

#include "support/players.h"
#include "support/test_server.h"

namespace karst::testing {
namespace {

// The server runs in this process, so its accepted socket is one of our own
// descriptors: the one whose peer is the client's local address.
std::optional<int> serverSideOf(uint16_t serverPort, uint16_t clientPort) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return std::nullopt;
    std::optional<int> found;
    while (dirent* entry = ::readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_in local{}, peer{};
        socklen_t localLen = sizeof local, peerLen = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0) continue;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) continue;
        if (local.sin_family == AF_INET && ntohs(local.sin_port) == serverPort &&
            ntohs(peer.sin_port) == clientPort)
            found = fd;
    }
    ::closedir(dir);
    return found;
}

int intOption(int fd, int level, int name) {
    int value = -1;
    socklen_t len = sizeof value;
    ::getsockopt(fd, level, name, &value, &len);
    return value;
}

TEST(KeepAlive, AcceptedSocketsProbeIdlePeers) {
    TestServer server;
    client::KarstClient c = welcomedClient(server.port(), "kept", 1);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    // The client's own socket is also ours: find its local port through the server side.
    std::optional<int> accepted;
    for (int fd = 3; fd < 1024 && !accepted; ++fd) {
        sockaddr_in peer{};
        socklen_t peerLen = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) continue;
        len = sizeof local;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) continue;
        if (ntohs(peer.sin_port) == server.port())
            accepted = serverSideOf(server.port(), ntohs(local.sin_port));
    }
    ASSERT_TRUE(accepted.has_value());
    EXPECT_EQ(intOption(*accepted, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(intOption(*accepted, IPPROTO_TCP, TCP_KEEPIDLE), 60);
    EXPECT_EQ(intOption(*accepted, IPPROTO_TCP, TCP_KEEPINTVL), 10);
    EXPECT_EQ(intOption(*accepted, IPPROTO_TCP, TCP_KEEPCNT), 6);
    EXPECT_EQ(intOption(*accepted, IPPROTO_TCP, TCP_NODELAY), 1);
}

}  // namespace
}  // namespace karst::testing
