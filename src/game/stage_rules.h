// The stateless rules of stage runs and the fruit shop: the start countdown's
// arithmetic, finishing places and rewards, ring clamping, purchases, and the
// layouts of the messages rooms and stages send.
//
// Times are monotonic nanoseconds; every payload is little-endian and exactly
// the size named in net/protocol.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "game/catalogue.h"
#include "game/room_key.h"
#include "net/protocol.h"
#include "net/server_messages.h"

namespace karst {

inline constexpr uint32_t kCountdownSeconds = 3;
inline constexpr uint32_t kStageEndedCode = 5;
inline constexpr uint8_t kMaxFinishPlace = 255;
inline constexpr uint16_t kMaxFruitCount = 65535;

// Whole seconds from `startNs` to `nowNs`, truncated towards zero; a start in
// the future counts as no time at all.
int64_t wholeSecondsSince(uint64_t nowNs, uint64_t startNs);
// The seconds a countdown shows after `elapsedSeconds`: 3, 2, 1, then 0.
uint32_t countdownSecondsLeft(int64_t elapsedSeconds);
inline bool countdownComplete(int64_t elapsedSeconds) {
    return elapsedSeconds >= static_cast<int64_t>(kCountdownSeconds);
}

// The place of a finisher once `finishedBefore` members have finished, at most 255.
uint8_t finishPlaceAfter(size_t finishedBefore);
// 100, 60, 30 rings for the first three places, 10 for every later one.
uint32_t finishReward(uint32_t place);
// A balance plus `amount`, never above the ring cap.
uint32_t addRings(uint32_t balance, uint32_t amount);

// Moves `price` rings into one more fruit when the balance covers it and the
// count has room; false leaves both unchanged.
bool buyFruit(uint32_t& rings, uint16_t& count, uint32_t price);

}  // namespace karst
