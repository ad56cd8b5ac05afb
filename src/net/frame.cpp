#include "net/frame.h"

#include <cstring>

#include "net/coding.h"

namespace karst {

namespace {
constexpr size_t kFrameSequenceOffset = 12;
static_assert(kFrameSequenceOffset + 4 == kFrameHeaderSize);
}  // namespace

void encodeFrameHeader(uint8_t* out, const FrameHeader& header) {
    std::memcpy(out, kFrameMagic, 4);
    putU16(out + 4, header.version);
    putU16(out + 6, header.type);
    putU32(out + 8, header.payloadLength);
    putU32(out + kFrameSequenceOffset, header.sequence);
}

void restampFrame(std::span<uint8_t> frame, uint32_t sequence) {
    if (frame.size() >= kFrameHeaderSize) putU32(frame.data() + kFrameSequenceOffset, sequence);
}

bool decodeFrameHeader(const uint8_t* in, FrameHeader& header) {
    if (std::memcmp(in, kFrameMagic, 4) != 0) return false;
    header.version = getU16(in + 4);
    header.type = getU16(in + 6);
    header.payloadLength = getU32(in + 8);
    header.sequence = getU32(in + 12);
    return true;
}

bool sequenceAdvances(uint32_t last, uint32_t sequence) {
    if (sequence == 0) return false;
    if (last == 0) return true;
    return static_cast<int32_t>(sequence - last) > 0;
}

void writeFrame(uint8_t* out, MessageType type, std::span<const uint8_t> payload,
                uint32_t sequence) {
    FrameHeader header;
    header.type = static_cast<uint16_t>(type);
    header.payloadLength = static_cast<uint32_t>(payload.size());
    header.sequence = sequence;
    encodeFrameHeader(out, header);
    if (!payload.empty()) std::memcpy(out + kFrameHeaderSize, payload.data(), payload.size());
}

std::vector<uint8_t> buildFrame(MessageType type, std::span<const uint8_t> payload,
                                uint32_t sequence) {
    std::vector<uint8_t> frame(kFrameHeaderSize + payload.size());
    writeFrame(frame.data(), type, payload, sequence);
    return frame;
}

std::array<uint8_t, kNoticeSize> makeNotice(uint16_t code, std::string_view text) {
    std::array<uint8_t, kNoticeSize> payload{};
    putU16(payload.data(), code);
    const size_t n = text.size() < kNoticeTextMax ? text.size() : kNoticeTextMax;
    std::memcpy(payload.data() + 2, text.data(), n);
    return payload;
}

}  // namespace karst
