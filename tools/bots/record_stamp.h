// What a bot hides in its movement records so that the receivers can measure
// the relay, and the arithmetic of what should arrive.
//
// The server passes the record's last twelve bytes through unchanged: the yaw
// (offset 36), the opaque word (offset 40) and the time stamp (offset 44). A bot
// puts its send time there as one 64-bit count of nanoseconds since the tool
// started, low half in the opaque word and high half in the time stamp, so the
// 12 bytes at offsets 40..47 read as one little-endian u64. The yaw carries the
// bot's own record sequence in its low 31 bits and, in bit 31, whether the
// record counts towards the expected deliveries (see RelayGateTracker).
#pragma once

#include "client/messages.h"

#include <cstdint>

namespace karst::bots {

// The server relays at most one record per player per 15 ms.
inline constexpr uint64_t kRelayGateNs = 15'000'000;
inline constexpr uint32_t kCountedFlag = 0x8000'0000u;
inline constexpr uint32_t kRecordSequenceMask = 0x7FFF'FFFFu;

struct SendStamp {
    uint64_t sendNs = 0;
    uint32_t sequence = 0;  // 31 bits
    bool counted = false;

    friend bool operator==(const SendStamp&, const SendStamp&) = default;
};

inline void writeStamp(client::PlayerStateRecord& record, const SendStamp& stamp) {
    const uint32_t yawBits =
        (stamp.sequence & kRecordSequenceMask) | (stamp.counted ? kCountedFlag : 0u);
    record.yaw = static_cast<int32_t>(yawBits);
    record.opaque = static_cast<uint32_t>(stamp.sendNs);
    record.timeMs = static_cast<uint32_t>(stamp.sendNs >> 32);
}

inline SendStamp readStamp(const client::PlayerStateRecord& record) {
    const uint32_t yawBits = static_cast<uint32_t>(record.yaw);
    return SendStamp{(uint64_t{record.timeMs} << 32) | record.opaque, yawBits & kRecordSequenceMask,
                     (yawBits & kCountedFlag) != 0};
}

// Mirrors the server's per-player gate on the sending side: a record counts
// only when it leaves at least 15 ms after the last counted one, so the
// expected figure never includes records the server is bound to drop.
class RelayGateTracker {
public:
    bool admits(uint64_t sendNs) const { return !any_ || sendNs - lastCountedNs_ >= kRelayGateNs; }
    // Called once a counted record has actually left.
    void markCounted(uint64_t sendNs) {
        any_ = true;
        lastCountedNs_ = sendNs;
    }

private:
    uint64_t lastCountedNs_ = 0;
    bool any_ = false;
};

}  // namespace karst::bots
