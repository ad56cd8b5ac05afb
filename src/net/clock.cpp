#include "net/clock.h"

#include <atomic>
#include <chrono>

namespace karst {

namespace {
std::atomic<uint64_t> monotonicOffsetNs{0};
std::atomic<uint64_t> wallOffsetSeconds{0};
// While frozen, the system readings taken at the freeze stand in for the live ones.
std::atomic<bool> clocksFrozen{false};
std::atomic<uint64_t> frozenSteadyNs{0};
std::atomic<uint64_t> frozenSystemSeconds{0};

uint64_t steadyNs() {
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(ticks).count();
    return static_cast<uint64_t>(ns);
}

uint64_t systemSeconds() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    return static_cast<uint64_t>(s);
}
}  // namespace

uint64_t monotonicNowNs() {
    const uint64_t base =
        clocksFrozen.load(std::memory_order_relaxed) ? frozenSteadyNs.load() : steadyNs();
    return base + monotonicOffsetNs.load(std::memory_order_relaxed);
}

uint64_t wallClockSeconds() {
    const uint64_t base =
        clocksFrozen.load(std::memory_order_relaxed) ? frozenSystemSeconds.load() : systemSeconds();
    return base + wallOffsetSeconds.load(std::memory_order_relaxed);
}

void advanceMonotonicClockForTesting(uint64_t ns) { monotonicOffsetNs.fetch_add(ns); }

void advanceWallClockForTesting(uint64_t seconds) { wallOffsetSeconds.fetch_add(seconds); }

void freezeClocksForTesting(bool frozen) {
    if (clocksFrozen.load() == frozen) return;
    if (frozen) {
        frozenSteadyNs.store(steadyNs());
        frozenSystemSeconds.store(systemSeconds());
        clocksFrozen.store(true);
        return;
    }
    // The offsets absorb the time spent frozen (unsigned arithmetic wraps), so
    // the readings carry on from where they stood.
    monotonicOffsetNs.fetch_add(frozenSteadyNs.load() - steadyNs());
    wallOffsetSeconds.fetch_add(frozenSystemSeconds.load() - systemSeconds());
    clocksFrozen.store(false);
}

}  // namespace karst
