// The remote console's state inside the one GameServer: its listener, its
// connections, and failed logins by address. The members that serve them are
// defined in app/rcon_console.cpp; the packets in net/rcon_packet.h.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "app/rcon_lockouts.h"
#include "net/clock.h"
#include "net/ip_address.h"
#include "net/socket.h"

namespace karst {

// A connection that has not logged in by then is closed; one that sends
// nothing for the idle limit after logging in, too.
inline constexpr uint64_t kRconLoginDeadlineNs = 5 * kNsPerSecond;
inline constexpr uint64_t kRconIdleLimitNs = 10 * 60 * kNsPerSecond;

// Poller tokens: the listener beside the server's own sockets, connections in
// a range of their own above every player id (a uint32), never reused.
inline constexpr uint64_t kRconListenerToken = ~uint64_t{0} - 16;
inline constexpr uint64_t kRconFirstToken = uint64_t{1} << 40;
inline bool isRconToken(uint64_t token) { return token >= kRconFirstToken && token < 2 * kRconFirstToken; }

struct RconConnection {
    net::SocketHandle socket = net::kInvalidSocket;
    net::SocketAddress remoteAddress;
    net::IpAddress remoteIp;
    uint64_t token = 0;
    uint64_t acceptedAtNs = 0;
    uint64_t lastPacketNs = 0;
    bool authenticated = false;
    // Closed at the end of this pass, after one try at writing what is queued.
    bool closing = false;
    bool writeInterest = false;
    std::vector<uint8_t> receiveBuffer;  // at most one packet's start
    std::vector<uint8_t> sendQueue;
    size_t sendOffset = 0;

    size_t unsentBytes() const { return sendQueue.size() - sendOffset; }
};

struct RconState {
    net::SocketHandle listener = net::kInvalidSocket;
    std::vector<std::unique_ptr<RconConnection>> connections;
    RconLockouts lockouts;
    uint64_t nextToken = kRconFirstToken;
    // What the listener is watched for: nothing while accepting rests.
    uint16_t listenerEvents = net::kPollIn;
    // What the pass's wait reported for the listener and the connections.
    bool listenerReady = false;
    std::vector<net::ReadyEvent> ready;
};

}  // namespace karst
