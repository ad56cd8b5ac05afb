// Challenges of the server query: a reply bigger than the request goes only to
// an address that proved it receives what is sent to it, by returning a value
// the server sent there.
//
// Nothing is stored per address. A challenge is a keyed hash (SipHash-2-4) of
// the source endpoint (address and port, as the system reports them) and of the
// current period of kQueryChallengePeriodNs, under a secret drawn at start; so
// it cannot be computed without the secret, and it expires by itself. One
// issued in period n is accepted during periods n and n + 1: from 30 to 60 s.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "net/clock.h"

namespace karst {

inline constexpr uint64_t kQueryChallengePeriodNs = 30 * kNsPerSecond;

using SipKey = std::array<uint64_t, 2>;

// SipHash-2-4 of `message` under `key`.
uint64_t sipHash24(const SipKey& key, std::span<const uint8_t> message);

class QueryChallenges {
public:
    // Periods count from `epochNs`; the secret is drawn from the system.
    explicit QueryChallenges(uint64_t epochNs = 0);
    QueryChallenges(const SipKey& secret, uint64_t epochNs) : secret_(secret), epochNs_(epochNs) {}

    uint32_t issue(std::span<const uint8_t> source, uint64_t nowNs) const;
    bool accepts(std::span<const uint8_t> source, uint32_t challenge, uint64_t nowNs) const;

private:
    uint32_t forPeriod(std::span<const uint8_t> source, uint64_t period) const;
    uint64_t periodAt(uint64_t nowNs) const;

    SipKey secret_{};
    uint64_t epochNs_ = 0;
};

}  // namespace karst
