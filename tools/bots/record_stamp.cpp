// Send stamps and the sending side's copy of the relay gate.
#include "bots/record_stamp.h"

#include <algorithm>

namespace karst::bots {

void writeStamp(client::PlayerStateRecord& record, const SendStamp& stamp) {
    const uint32_t yawBits =
        (stamp.sequence & kRecordSequenceMask) | (stamp.counted ? kCountedFlag : 0u);
    record.yaw = static_cast<int32_t>(yawBits);
    record.opaque = static_cast<uint32_t>(stamp.sendNs);
    record.timeMs = static_cast<uint32_t>(stamp.sendNs >> 32);
}

SendStamp readStamp(const client::PlayerStateRecord& record) {
    const uint32_t yawBits = static_cast<uint32_t>(record.yaw);
    SendStamp stamp;
    stamp.sendNs = (static_cast<uint64_t>(record.timeMs) << 32) | record.opaque;
    stamp.sequence = yawBits & kRecordSequenceMask;
    stamp.counted = (yawBits & kCountedFlag) != 0;
    return stamp;
}

bool RelayGateTracker::admits(uint64_t sendNs) const {
    return !any_ || sendNs - lastCountedNs_ >= kRelayGateNs;
}

void RelayGateTracker::markCounted(uint64_t sendNs) {
    any_ = true;
    lastCountedNs_ = sendNs;
}

double deliveryPercent(uint64_t expected, uint64_t received) {
    if (expected == 0) return -1.0;
    const uint64_t arrived = std::min(received, expected);
    return 100.0 * static_cast<double>(arrived) / static_cast<double>(expected);
}

}  // namespace karst::bots
