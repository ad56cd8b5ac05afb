// The frame around every TCP message, as the client tools see it: the 16-byte
// header (magic "KRST", version, type, payload length, sequence; little-endian)
// and a whole received frame.
//
// Written from the protocol description, not shared with the server, for the
// same reason as client/messages.h: the tests compare the server against it.
#pragma once

#include "common/message_catalogue.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace karst::tools {

inline constexpr std::array<uint8_t, 4> kFrameMagic{'K', 'R', 'S', 'T'};
inline constexpr size_t kMaxFrameSize = kFrameHeaderSize + kMaxPayloadLength;

struct FrameHeader {
    uint16_t version = kProtocolVersion;
    uint16_t type = 0;
    uint32_t payloadLength = 0;
    uint32_t sequence = 0;

    MessageType messageType() const { return static_cast<MessageType>(type); }
};

// A whole received frame: its header and exactly payloadLength payload bytes.
struct Frame {
    FrameHeader header;
    std::vector<uint8_t> payload;

    MessageType type() const { return header.messageType(); }
};

std::array<uint8_t, kFrameHeaderSize> encodeFrameHeader(uint16_t type, uint32_t payloadLength,
                                                        uint32_t sequence);
std::vector<uint8_t> encodeFrame(MessageType type, std::span<const uint8_t> payload,
                                 uint32_t sequence);
// Needs at least 16 bytes, the magic "KRST" and version 7; the payload length is
// returned as found (the caller decides whether it is acceptable).
std::optional<FrameHeader> decodeFrameHeader(std::span<const uint8_t> bytes);

}  // namespace karst::tools
