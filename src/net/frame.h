// Frames: the 16-byte header in front of every message and UDP datagram, the
// in-place cutting of a receive buffer into frames with the sequence rules, and
// the building of outgoing frames and notices.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "net/protocol.h"

namespace karst {

inline constexpr uint8_t kFrameMagic[4] = {'K', 'R', 'S', 'T'};

struct FrameHeader {
    uint16_t version = kProtocolVersion;
    uint16_t type = 0;
    uint32_t payloadLength = 0;
    uint32_t sequence = 0;
};

void encodeFrameHeader(uint8_t* out, const FrameHeader& header);
// Reads 16 bytes; false when the magic is not "KRST".
bool decodeFrameHeader(const uint8_t* in, FrameHeader& header);

// Whether `sequence` may follow `last` (0 = nothing accepted yet): never 0, and
// ahead of `last` by less than 2^31 in modulo-2^32 arithmetic.
bool sequenceAdvances(uint32_t last, uint32_t sequence);

// Writes a whole frame (header and payload) at `out`, which must hold
// kFrameHeaderSize + payload.size() bytes.
void writeFrame(uint8_t* out, MessageType type, std::span<const uint8_t> payload,
                uint32_t sequence);
std::vector<uint8_t> buildFrame(MessageType type, std::span<const uint8_t> payload,
                                uint32_t sequence);
// Gives a built frame a new sequence number: one held back while others went
// out must still arrive with a number above theirs.
void restampFrame(std::span<uint8_t> frame, uint32_t sequence);

// The 128-byte Notice payload: u16 code, then the text cut to 125 bytes and
// zero-padded, so at least one zero byte always follows it.
inline constexpr size_t kNoticeTextMax = 125;
std::array<uint8_t, kNoticeSize> makeNotice(uint16_t code, std::string_view text);

enum class FrameVerdict { Accept, Fail };

// Cuts `buffer` into frames and hands each to `dispatch(header, payload)`, which
// returns false to fail the connection. Consumed frames are removed from the
// front once, at the end; a partial frame stays for the next read. Returns false
// on any framing fault or a failed dispatch.
// `paused()` true leaves the frames from there on in the buffer, in order.
template <typename Dispatch, typename Paused>
bool parseFrames(std::vector<uint8_t>& buffer, uint32_t& lastSequence, Dispatch&& dispatch,
                 Paused&& paused) {
    size_t pos = 0;
    const size_t size = buffer.size();
    while (size - pos >= kFrameHeaderSize && !paused()) {
        FrameHeader header;
        if (!decodeFrameHeader(buffer.data() + pos, header) || header.version != kProtocolVersion)
            return false;
        if (header.payloadLength > kMaxPayloadLength) return false;
        if (size - pos - kFrameHeaderSize < header.payloadLength) break;
        if (!sequenceAdvances(lastSequence, header.sequence)) return false;
        lastSequence = header.sequence;
        const std::span<const uint8_t> payload(buffer.data() + pos + kFrameHeaderSize,
                                               header.payloadLength);
        if (!dispatch(header, payload)) return false;
        pos += kFrameHeaderSize + header.payloadLength;
    }
    if (pos == size) {
        buffer.clear();
    } else if (pos != 0) {
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(pos));
    }
    return true;
}

template <typename Dispatch>
bool parseFrames(std::vector<uint8_t>& buffer, uint32_t& lastSequence, Dispatch&& dispatch) {
    return parseFrames(buffer, lastSequence, std::forward<Dispatch>(dispatch), [] { return false; });
}

// The gate's size check: whether a client may send `type` with this payload length.
inline bool clientPayloadSizeMatches(uint16_t type, uint32_t length) {
    return type <= kMaxMessageType && kClientPayloadSizes[type] != 0 &&
           kClientPayloadSizes[type] == length;
}

}  // namespace karst
