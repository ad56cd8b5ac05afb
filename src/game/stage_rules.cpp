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

std::array<uint8_t, kRoomStatusSize> encodeRoomStatus(size_t members, size_t ready,
                                                      uint8_t countdown, uint8_t mission) {
    std::array<uint8_t, kRoomStatusSize> out{};
    // Counts above 65,535 wrap, as the field is only 16 bits wide.
    ByteWriter(out)
        .u16(static_cast<uint16_t>(members))
        .u16(static_cast<uint16_t>(ready))
        .u8(countdown)
        .u8(mission)
        .u16(0);
    return out;
}

std::array<uint8_t, kStageStartSize> encodeStageStart(const RoomKey& key, uint32_t uptimeMs) {
    static_assert(kStageStartSize == kRoomKeySize + 4);
    std::array<uint8_t, kStageStartSize> out{};
    encodeRoomKey(out.data(), key);
    putU32(out.data() + kRoomKeySize, uptimeMs);
    return out;
}

std::array<uint8_t, kStageFinishedResultSize> encodeStageFinishedResult(const FinishReport& report) {
    static_assert(kStageFinishedResultSize == 4 * 4 + 2 * 2 + 1 + 3);
    std::array<uint8_t, kStageFinishedResultSize> out{};
    ByteWriter(out)
        .u32(report.playerId)
        .u32(report.result)
        .u32(report.reward)
        .u32(report.rings)
        .u16(static_cast<uint16_t>(report.finishedCount))
        .u16(static_cast<uint16_t>(report.memberCount))
        .u8(report.place)
        .zeros(3);
    return out;
}

std::array<uint8_t, kStageEndedSize> encodeStageEnded(const RoomKey& key) {
    static_assert(kStageEndedSize == kRoomKeySize + 4);
    std::array<uint8_t, kStageEndedSize> out{};
    encodeRoomKey(out.data(), key);
    putU32(out.data() + kRoomKeySize, kStageEndedCode);
    return out;
}

std::array<uint8_t, kBuyFruitResultSize> encodeBuyFruitResult(int8_t fruit, bool bought,
                                                              uint32_t price, uint32_t rings) {
    static_assert(kBuyFruitResultSize == 1 + 1 + 2 + 4);
    std::array<uint8_t, kBuyFruitResultSize> out{};
    ByteWriter(out)
        .u8(static_cast<uint8_t>(fruit))
        .u8(bought ? 1 : 0)
        .u16(static_cast<uint16_t>(price))
        .u32(rings);
    return out;
}

}  // namespace karst
