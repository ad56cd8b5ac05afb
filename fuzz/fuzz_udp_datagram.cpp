// Fuzz target: datagrams from several source addresses through the UDP
// movement channel of a real GameServer (which has no UDP socket, so relayed
// movement lands on the members' TCP queues).
//
// Two authenticated players share a room: A (kFirstPlayerId, token kUdpTokenA)
// and B (kFirstPlayerId + 1, token kUdpTokenB); a third connection
// (kFirstPlayerId + 2) still owes its Hello. Room: kUdpRoom.
// Input layout (fuzz/make_seeds.cpp writes seeds in it): steps, each a control
// byte and one datagram. Control: bits 0-1 source address (kSources), bits 2-4
// clock step (kClockStepsNs), bit 5 the datagram's length is the next byte
// (else the 76 bytes of a client datagram), bit 6 player A moves to the other
// room first, bit 7 unused.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>

#include "app/game_server.h"
#include "fuzz_support.h"
#include "net/clock.h"
#include "server_access.h"

namespace karst::fuzz {
namespace {

net::SocketAddress ipv4Address(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    net::SocketAddress out;
    std::memcpy(out.storage.data(), &address, sizeof address);
    out.length = sizeof address;
    return out;
}

net::SocketAddress ipv6Address(uint16_t port) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    net::SocketAddress out;
    std::memcpy(out.storage.data(), &address, sizeof address);
    out.length = sizeof address;
    return out;
}

const std::array<net::SocketAddress, 4>& sources() {
    static const std::array<net::SocketAddress, 4> kSources = {
        ipv4Address(40000), ipv4Address(40001), ipv6Address(40000), ipv6Address(40002)};
    return kSources;
}

}  // namespace
}  // namespace karst::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace karst;
    using namespace karst::fuzz;
    InputCursor input({data, size});
    GameServer server(fuzzSettings());
    GameServerTestAccess access(server);
    ClientConnection& a = access.addPlayer(kUdpRoom);
    a.udpToken = kUdpTokenA;
    access.addPlayer(kUdpRoom).udpToken = kUdpTokenB;
    access.addGuest();

    while (!input.empty()) {
        const uint8_t control = input.byte();
        advanceMonotonicClockForTesting(kClockStepsNs[(control >> 2) & 7]);
        if (control & 0x40) {
            // Datagrams must follow the TCP connection's room, not the room it left.
            access.moveToRoom(a, a.roomKey == kUdpRoom ? kUdpOtherRoom : kUdpRoom);
        }
        const size_t length = (control & 0x20) != 0 ? input.byte() : kUdpDatagramSize;
        access.handleDatagram(input.bytes(length), sources()[control & 3]);
        access.drainQueues();
    }
    if (const std::string fault = access.indexFault(); !fault.empty()) fail(fault);
    access.forgetConnections();
    return 0;
}
