// Counters of the server's traffic since start, and of what its operator tools
// answered and refused, for the Prometheus metrics file (the JSON file's keys
// are fixed, so counts added later live here).
// They only ever grow; a restart begins them at zero, which Prometheus's rate
// functions expect of counters.
#pragma once

#include <cstdint>

namespace karst {

struct TrafficCounters {
    uint64_t connectionsAccepted = 0;
    uint64_t connectionsClosed = 0;
    // Closed for a framing fault or a message the dispatcher or a handler refused.
    uint64_t protocolFaultCloses = 0;
    // TCP frames dispatched, and TCP frames queued to a client (one per recipient).
    uint64_t framesReceived = 0;
    uint64_t framesSent = 0;
    // Bytes read from and written to TCP connections.
    uint64_t bytesReceived = 0;
    uint64_t bytesSent = 0;
    // PlayerState records that passed their checks and were relayed to a room.
    uint64_t movementRelayedTcp = 0;
    uint64_t movementRelayedUdp = 0;
    // Server queries (A2S INFO and PLAYER) answered; challenges do not count.
    uint64_t queriesAnswered = 0;
    // Remote-console logins refused: wrong passwords, and connections closed at accept.
    uint64_t rconLoginsRefused = 0;
    // Log-ons refused because the allow list does not name their key.
    uint64_t allowListRefusals = 0;
};

}  // namespace karst
