// SplitMix64's finaliser: a cheap, well-spread 64-bit mix, from which the
// tools derive their players' identities out of a run's seed.
#pragma once

#include <cstdint>

namespace karst::tools {

constexpr uint64_t mixBits(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace karst::tools
