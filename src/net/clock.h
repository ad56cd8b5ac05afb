// The server's clocks.
//
// Internal time stamps are unsigned 64-bit nanoseconds of the monotonic clock;
// breeding cooldowns use wall-clock seconds since 1970. Both readings carry an
// offset that tests advance, so rules about time (rate limits, countdowns,
// cooldowns) are exercised without sleeping.
#pragma once

#include <cstdint>

namespace karst {

inline constexpr uint64_t kNsPerMs = 1'000'000;
inline constexpr uint64_t kNsPerSecond = 1'000'000'000;

uint64_t monotonicNowNs();
// Wall-clock seconds since 1970-01-01 UTC.
uint64_t wallClockSeconds();

// Moves both clocks forward for every reader in the process (tests only).
void advanceMonotonicClockForTesting(uint64_t ns);
void advanceWallClockForTesting(uint64_t seconds);
// Stops both clocks where they stand, so that only the advances above move
// them and a test can place "now" exactly one nanosecond (or second) short of
// a limit; unfreezing resumes from the frozen reading, never going back (tests only).
void freezeClocksForTesting(bool frozen);

// Whether at least `intervalNs` have passed from `since` to `now`, comparing the
// difference as a signed 64-bit value so that a time in the future counts as "not yet".
inline bool elapsedAtLeast(uint64_t now, uint64_t since, uint64_t intervalNs) {
    return static_cast<int64_t>(now - since) >= static_cast<int64_t>(intervalNs);
}

}  // namespace karst
