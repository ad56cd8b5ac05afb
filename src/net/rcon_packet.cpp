#include "net/rcon_packet.h"

#include <algorithm>

#include "net/coding.h"

namespace karst::net {

RconCut cutRconPacket(std::span<const uint8_t> bytes, RconPacket& packet, size_t& used) {
    if (bytes.size() < kRconSizeFieldBytes) return RconCut::NeedMore;
    const int32_t size = getI32(bytes.data());
    if (size < kRconMinPacketSize || size > kRconMaxPacketSize) return RconCut::Malformed;
    const size_t total = kRconSizeFieldBytes + static_cast<size_t>(size);
    if (bytes.size() < total) return RconCut::NeedMore;
    const uint8_t* p = bytes.data() + kRconSizeFieldBytes;
    packet.id = getI32(p);
    packet.type = getI32(p + 4);
    // Clients differ on the second zero byte; the body ends at the first one.
    const uint8_t* bodyStart = p + 8;
    const uint8_t* bodyEnd = p + size;
    const uint8_t* zero = std::find(bodyStart, bodyEnd, uint8_t{0});
    packet.body.assign(bodyStart, zero);
    used = total;
    return RconCut::Packet;
}

void appendRconPacket(std::vector<uint8_t>& out, int32_t id, int32_t type, std::string_view body) {
    const size_t at = out.size();
    const size_t size = 8 + body.size() + 2;
    out.resize(at + kRconSizeFieldBytes + size);
    uint8_t* p = out.data() + at;
    putU32(p, static_cast<uint32_t>(size));
    putU32(p + 4, static_cast<uint32_t>(id));
    putU32(p + 8, static_cast<uint32_t>(type));
    std::copy(body.begin(), body.end(), p + 12);
    p[12 + body.size()] = 0;
    p[13 + body.size()] = 0;
}

void appendRconReply(std::vector<uint8_t>& out, int32_t id, std::string_view text) {
    do {
        const std::string_view piece = text.substr(0, kRconMaxReplyBody);
        appendRconPacket(out, id, kRconResponseValue, piece);
        text.remove_prefix(piece.size());
    } while (!text.empty());
}

bool rconPasswordsMatch(std::string_view given, std::string_view expected) {
    // Every byte of the longer text is visited whatever the contents.
    const size_t length = std::max(given.size(), expected.size());
    unsigned difference = given.size() == expected.size() ? 0u : 1u;
    for (size_t i = 0; i < length; ++i) {
        const unsigned a = i < given.size() ? static_cast<uint8_t>(given[i]) : 0u;
        const unsigned b = i < expected.size() ? static_cast<uint8_t>(expected[i]) : 0u;
        difference |= a ^ b;
    }
    return difference == 0;
}

}  // namespace karst::net
