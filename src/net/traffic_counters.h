// Counters of the server's traffic since start, for the Prometheus metrics file.
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
};

}  // namespace karst
