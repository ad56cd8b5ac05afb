// Failed remote-console logins by address: the third failure within a lockout
// period refuses the address for that period. Pure bookkeeping on times the
// caller passes (monotonic nanoseconds), bounded in the addresses it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "net/clock.h"
#include "net/ip_address.h"

namespace karst {

inline constexpr uint32_t kRconFailuresBeforeLockout = 3;
inline constexpr uint64_t kRconLockoutNs = 60 * kNsPerSecond;
// Addresses remembered at once; past it, the ones whose failures have aged out go.
inline constexpr size_t kMaxRconLockoutEntries = 4096;

class RconLockouts {
public:
    bool locked(const net::IpAddress& address, uint64_t now) const;
    // True when this failure locks the address (once per lockout).
    bool noteFailure(const net::IpAddress& address, uint64_t now);
    void noteSuccess(const net::IpAddress& address) { entries_.erase(address); }
    size_t size() const { return entries_.size(); }

private:
    struct Entry {
        uint32_t failures = 0;
        uint64_t firstFailureNs = 0;  // failures older than a lockout period are forgotten
        uint64_t lockedAtNs = 0;
        bool isLocked = false;
    };
    void makeRoom(uint64_t now);

    std::unordered_map<net::IpAddress, Entry, net::IpAddressHash> entries_;
};

}  // namespace karst
