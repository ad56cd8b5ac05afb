// One soak connection: the tools' framed link with the soak's limits.
// Connecting blocks, which on loopback takes microseconds.
#pragma once

#include "common/framed_link.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace karst::soak {

// Our own players never let more than this wait unsent: a server that stops
// reading them is a failure to report, not a reason to grow without bound.
inline constexpr size_t kMaxQueuedBytes = 1 << 20;
// Enough reads per call to drain a busy room's traffic, few enough to stay
// fair to the other links of the pass.
inline constexpr int kMaxReadsPerCall = 8;

class SoakLink : public tools::FramedLink {
public:
    SoakLink() : FramedLink(kMaxQueuedBytes) {}

    tools::ReadOutcome read(std::span<uint8_t> scratch, tools::FrameReceiver& receiver,
                            uint64_t& bytesRead) {
        return FramedLink::read(scratch, receiver, kMaxReadsPerCall, &bytesRead);
    }
};

}  // namespace karst::soak
