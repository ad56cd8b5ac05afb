#include "common/frame_codec.h"

#include "common/wire.h"

#include <cstring>

namespace karst::tools {

std::array<uint8_t, kFrameHeaderSize> encodeFrameHeader(uint16_t type, uint32_t payloadLength,
                                                        uint32_t sequence) {
    std::array<uint8_t, kFrameHeaderSize> out{};
    WireWriter w(out);
    w.bytes(kFrameMagic.data(), kFrameMagic.size()).u16(kProtocolVersion).u16(type);
    w.u32(payloadLength).u32(sequence);
    return out;
}

std::vector<uint8_t> encodeFrame(MessageType type, std::span<const uint8_t> payload,
                                 uint32_t sequence) {
    const auto header = encodeFrameHeader(static_cast<uint16_t>(type),
                                          static_cast<uint32_t>(payload.size()), sequence);
    std::vector<uint8_t> frame(header.size() + payload.size());
    std::memcpy(frame.data(), header.data(), header.size());
    if (!payload.empty()) std::memcpy(frame.data() + header.size(), payload.data(), payload.size());
    return frame;
}

std::optional<FrameHeader> decodeFrameHeader(std::span<const uint8_t> bytes) {
    if (bytes.size() < kFrameHeaderSize) return std::nullopt;
    if (std::memcmp(bytes.data(), kFrameMagic.data(), kFrameMagic.size()) != 0) return std::nullopt;
    WireReader r(bytes.first(kFrameHeaderSize));
    r.skip(kFrameMagic.size());
    FrameHeader h;
    h.version = r.u16();
    h.type = r.u16();
    h.payloadLength = r.u32();
    h.sequence = r.u32();
    if (h.version != kProtocolVersion) return std::nullopt;
    return h;
}

}  // namespace karst::tools
