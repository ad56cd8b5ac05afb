// The remote console's packets: a little-endian int32 size (the bytes that
// follow it), an int32 request id, an int32 type, the body, and two zero bytes
// (the body's terminator and an empty second string). Stateless: cutting
// packets out of a byte stream and appending replies to a send queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace karst::net {

// The size field's bounds: id, type and the two zero bytes with an empty body,
// and the same with the longest body.
inline constexpr int32_t kRconMinPacketSize = 10;
inline constexpr int32_t kRconMaxPacketSize = 4106;
inline constexpr size_t kRconSizeFieldBytes = 4;
// A reply body longer than this is sent as several packets with the same id.
inline constexpr size_t kRconMaxReplyBody = 4096;

// Packet types. A client's EXECCOMMAND and the server's AUTH_RESPONSE share
// the number 2; the direction tells them apart.
inline constexpr int32_t kRconResponseValue = 0;
inline constexpr int32_t kRconExecCommand = 2;
inline constexpr int32_t kRconAuthResponse = 2;
inline constexpr int32_t kRconAuth = 3;
// The id of an AUTH_RESPONSE that refuses the password.
inline constexpr int32_t kRconRefusedId = -1;

struct RconPacket {
    int32_t id = 0;
    int32_t type = 0;
    std::string body;  // up to its first zero byte
};

enum class RconCut { NeedMore, Packet, Malformed };

// Cuts the packet at the front of `bytes`. On Packet, `used` is its length on
// the wire; a size field outside the bounds is Malformed before its body arrives.
RconCut cutRconPacket(std::span<const uint8_t> bytes, RconPacket& packet, size_t& used);

// Appends one packet; `body` must fit kRconMaxReplyBody.
void appendRconPacket(std::vector<uint8_t>& out, int32_t id, int32_t type, std::string_view body);

// Appends `text` as RESPONSE_VALUE packets of at most kRconMaxReplyBody body
// bytes each, all under `id`; an empty text still makes one empty packet, so
// every command is answered.
void appendRconReply(std::vector<uint8_t>& out, int32_t id, std::string_view text);

// Compares in time that depends on the lengths only, never on where the first
// difference lies, so response times do not leak the password byte by byte.
bool rconPasswordsMatch(std::string_view given, std::string_view expected);

}  // namespace karst::net
