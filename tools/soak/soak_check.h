// The end-of-soak check of the stores a stopped server left: every change the
// players saw confirmed must be in the files. Profiles: each known player's
// ring balance, and its fruit count unless a change was in flight when its
// connection ended. Pibo: each registered creature, each egg of a breeding
// (owner, parents, an egg's data), and each confirmed claim (slot, no longer
// waiting for delivery).
#pragma once

#include "soak/soak_world.h"

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace karst::soak {

struct StoreCheck {
    bool profileFileLoaded = false;
    bool piboFileLoaded = false;
    uint64_t profilesInFile = 0;
    uint64_t piboInFile = 0;
    uint32_t profilesChecked = 0;
    uint32_t profilesUncertain = 0;
    uint32_t piboChecked = 0;
    uint32_t eggsChecked = 0;
    uint32_t claimsChecked = 0;
    uint64_t mismatches = 0;  // each also reported through SoakWorld::error
};

using PlayerExpectation = std::pair<ProfileKey, ProfileExpectation>;

// The fruit code every soak player buys, whose count the check compares.
inline constexpr int8_t kSoakFruit = 24;

StoreCheck checkStores(std::span<const uint8_t> profileFile, std::span<const uint8_t> piboFile,
                       std::span<const PlayerExpectation> players, SoakWorld& world);

}  // namespace karst::soak
