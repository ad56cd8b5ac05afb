// A UDP socket bound to a system-chosen port on 127.0.0.1: the datagram peer a
// test stands in for (a query client, the master server), or, once closed, a
// port nobody holds for the server to bind next.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "net/socket.h"

namespace karst::testing {

class LoopbackUdp {
public:
    LoopbackUdp() {
        net::startSocketLibrary();
        const auto a = net::resolveAddresses("127.0.0.1", 0, net::SocketType::Datagram, true);
        socket_ = net::openSocket(a.at(0).family, a[0].socketType, a[0].protocol);
        if (net::bindSocket(socket_, a[0].address)) port_ = net::localPort(socket_);
        if (port_ == 0) ADD_FAILURE() << "no loopback UDP port";
    }
    ~LoopbackUdp() { net::closeSocket(socket_); }
    LoopbackUdp(const LoopbackUdp&) = delete;
    LoopbackUdp& operator=(const LoopbackUdp&) = delete;

    uint16_t port() const { return port_; }
    net::SocketHandle handle() const { return socket_; }

    void sendTo(uint16_t port, const std::vector<uint8_t>& datagram) {
        const auto to = net::resolveAddresses("127.0.0.1", port, net::SocketType::Datagram, false);
        EXPECT_EQ(net::sendDatagram(socket_, datagram, to.at(0).address).status, net::IoStatus::Ok);
    }

    // The next datagram, its sender kept in lastSource; empty when none came in time.
    std::vector<uint8_t> receive(int timeoutMs) {
        std::vector<net::PollEntry> entries{net::PollEntry{socket_, net::kPollIn, 0}};
        if (net::pollSockets(entries, timeoutMs) <= 0) return {};
        std::vector<uint8_t> buffer(2048);
        const net::IoResult r = net::receiveDatagram(socket_, buffer, lastSource);
        buffer.resize(r.status == net::IoStatus::Ok ? r.bytes : 0);
        return buffer;
    }

    net::SocketAddress lastSource;

private:
    net::SocketHandle socket_ = net::kInvalidSocket;
    uint16_t port_ = 0;
};

}  // namespace karst::testing
