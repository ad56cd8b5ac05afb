// Checks and stamps on movement records and player events.
#include "game/player_state.h"

#include <cmath>

#include "net/coding.h"

namespace karst {

bool stateFloatsValid(ConstStateRecord record) {
    for (size_t i = 0; i < kStateFloatCount; ++i) {
        const float value = getF32(record.data() + kStateFloatsOffset + 4 * i);
        if (!std::isfinite(value) || std::fabs(value) > kMaxStateMagnitude) return false;
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
