// Checks and stamps on movement records and player events.
#include "game/player_state.h"

#include <cmath>

#include "net/coding.h"

namespace karst {

bool stateFloatsValid(ConstStateRecord record) {
    return worldFloatsValid(record.subspan(kStateFloatsOffset, 4 * kStateFloatCount));
}

bool worldFloatsValid(std::span<const uint8_t> floats) {
    for (size_t offset = 0; offset + 4 <= floats.size(); offset += 4) {
        const float value = getF32(floats.data() + offset);
        if (!std::isfinite(value) || std::fabs(value) > kMaxWorldMagnitude) return false;
    }
    return true;
}

RoomKey stateRoomKey(ConstStateRecord record) {
    return decodeRoomKey(record.data() + kStateRoomKeyOffset);
}

void stampStatePlayerId(StateRecord record, uint32_t playerId) {
    putU32(record.data() + kStatePlayerIdOffset, playerId);
}

bool playerEventValid(std::span<const uint8_t, kPlayerEventSize> event) {
    return event[kEventKindOffset] < kEventKinds &&
           getU32(event.data() + kEventValueOffset) <= kMaxEventValue;
}

bool claimRateSlot(uint64_t& lastNs, uint64_t now, uint64_t spacingNs) {
    if (lastNs != 0 && !elapsedAtLeast(now, lastNs, spacingNs)) return false;
    lastNs = now;
    return true;
}

}  // namespace karst
