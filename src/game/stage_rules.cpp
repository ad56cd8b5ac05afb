// The stage rules and message layouts declared in stage_rules.h.
#include "game/stage_rules.h"

#include <algorithm>

#include "net/clock.h"
#include "net/coding.h"

namespace karst {

int64_t wholeSecondsSince(uint64_t nowNs, uint64_t startNs) {
    const auto elapsed = static_cast<int64_t>(nowNs - startNs);
    return std::max<int64_t>(elapsed / static_cast<int64_t>(kNsPerSecond), 0);
}

uint32_t countdownSecondsLeft(int64_t elapsedSeconds) {
    const int64_t left = static_cast<int64_t>(kCountdownSeconds) - elapsedSeconds;
    return static_cast<uint32_t>(std::clamp<int64_t>(left, 0, kCountdownSeconds));
}

uint8_t finishPlaceAfter(size_t finishedBefore) {
    return static_cast<uint8_t>(std::min<size_t>(finishedBefore + 1, kMaxFinishPlace));
}

uint32_t finishReward(uint32_t place) {
    switch (place) {
        case 1: return 100;
        case 2: return 60;
        case 3: return 30;
        default: return 10;
    }
}

uint32_t addRings(uint32_t balance, uint32_t amount) {
    const uint64_t sum = static_cast<uint64_t>(balance) + amount;
    return static_cast<uint32_t>(std::min<uint64_t>(sum, kRingCap));
}

bool buyFruit(uint32_t& rings, uint16_t& count, uint32_t price) {
    if (rings < price || count >= kMaxFruitCount) return false;
    rings -= price;
    ++count;
    return true;
}

}  // namespace karst
