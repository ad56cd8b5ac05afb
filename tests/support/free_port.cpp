#include "support/free_port.h"

#include "net/socket.h"

namespace karst::testing {

uint16_t freeLoopbackPort() {
    const auto addresses = net::resolveAddresses("127.0.0.1", 0, net::SocketType::Stream, false);
    if (addresses.empty()) return 0;
    const auto& a = addresses.front();
    const net::SocketHandle s = net::openSocket(a.family, a.socketType, a.protocol);
    uint16_t port = 0;
    if (s != net::kInvalidSocket && net::bindSocket(s, a.address)) port = net::localPort(s);
    net::closeSocket(s);
    return port;
}

}  // namespace karst::testing
