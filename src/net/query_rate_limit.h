// The server query's per-address rate limit: at most kQueryRepliesPerWindow
// replies (challenges included) to one IP address in a window of
// kQueryRateWindowNs that starts with its first reply.
//
// Memory is bounded: at most kMaxQueryRateAddresses addresses are tracked.
// When the table is full, windows that ended are swept out, but only once the
// oldest tracked window has ended, so a flood of new addresses cannot make
// every datagram walk the table; until then a new address gets no reply.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "net/clock.h"
#include "net/ip_address.h"

namespace karst {

inline constexpr uint32_t kQueryRepliesPerWindow = 10;
inline constexpr uint64_t kQueryRateWindowNs = kNsPerSecond;
inline constexpr size_t kMaxQueryRateAddresses = 16384;

class QueryRateLimit {
public:
    // Whether a reply may go to `address` now; counts it when so.
    bool allow(const net::IpAddress& address, uint64_t nowNs);
    size_t trackedAddresses() const { return windows_.size(); }

private:
    struct Window {
        uint64_t startNs = 0;
        uint32_t replies = 0;
    };
    void sweep(uint64_t nowNs);

    std::unordered_map<net::IpAddress, Window, net::IpAddressHash> windows_;
    // No tracked window ends before then.
    uint64_t nextSweepNs_ = 0;
};

}  // namespace karst
