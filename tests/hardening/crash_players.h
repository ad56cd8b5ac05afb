// Players for the crash-safety test: threads that keep a server busy rewriting
// its stores (connect, buy fruit in a hub, register Pibo in a garden,
// disconnect) and remember every change the server acknowledged, so the test
// can check after each kill that no acknowledged change was lost.
//
// Each thread owns its own buyer profiles, so the records need no lock: the
// test reads them only after the threads have been joined. Every buyer starts
// with kCrashStartingRings and only ever buys fruit kCrashFruit, so in any
// complete store its rings plus the price of its fruit equal the start.
#pragma once

#include "client/game_facts.h"

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace karst::testing {

using client::ProfileKey;

inline constexpr uint32_t kCrashStartingRings = 100'000;
inline constexpr int8_t kCrashFruit = 24;
inline constexpr uint32_t kCrashFruitPrice = 10;

struct CrashBuyer {
    ProfileKey key{};
    // Lowest balance the server confirmed: every purchase up to it must be stored.
    uint32_t confirmedRings = kCrashStartingRings;
    // Purchases asked for; the stored balance can never fall below what they allow.
    uint32_t requestedBuys = 0;
};

struct CrashPlayerThread {
    std::vector<CrashBuyer> buyers;
    bool gardener = false;
    uint32_t sessions = 0;
    // Pibo ids whose registration the server confirmed (PiboAppear came back).
    std::vector<uint64_t> confirmedPibo;
};

// Starts one thread per entry of `threads`; each plays against `port` until
// the object goes, which stops and joins them.
class CrashPlayers {
public:
    CrashPlayers(std::vector<CrashPlayerThread>& threads, uint16_t port);
    ~CrashPlayers();
    CrashPlayers(const CrashPlayers&) = delete;
    CrashPlayers& operator=(const CrashPlayers&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> running_;
};

// Buyer profiles that no seeded profile uses: thread t, buyer b.
ProfileKey crashBuyerKey(uint32_t thread, uint32_t buyer);

}  // namespace karst::testing
