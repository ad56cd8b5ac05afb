// Send stamps in the bytes the server relays untouched.
#include "bots/record_stamp.h"

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

}  // namespace karst::bots
