#include "net/clock.h"

#include <atomic>
#include <chrono>

namespace karst {

namespace {
std::atomic<uint64_t> monotonicOffsetNs{0};
std::atomic<uint64_t> wallOffsetSeconds{0};
}  // namespace

uint64_t monotonicNowNs() {
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(ticks).count();
    return static_cast<uint64_t>(ns) + monotonicOffsetNs.load(std::memory_order_relaxed);
}

uint64_t wallClockSeconds() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    return static_cast<uint64_t>(s) + wallOffsetSeconds.load(std::memory_order_relaxed);
}

void advanceMonotonicClockForTesting(uint64_t ns) { monotonicOffsetNs.fetch_add(ns); }

void advanceWallClockForTesting(uint64_t seconds) { wallOffsetSeconds.fetch_add(seconds); }

}  // namespace karst
