// IPv4 and IPv6 addresses and networks as plain bytes, for the ban list: parsed
// from and formatted to the usual text forms without the platform's resolver, so
// the same rules hold on every system and the parser can be fuzzed on its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace karst::net {

inline constexpr size_t kIpv4Bytes = 4;
inline constexpr size_t kIpv6Bytes = 16;

struct IpAddress {
    bool v6 = false;
    // Network byte order; an IPv4 address uses the first four bytes.
    std::array<uint8_t, kIpv6Bytes> bytes{};

    size_t size() const { return v6 ? kIpv6Bytes : kIpv4Bytes; }
    unsigned maxPrefix() const { return static_cast<unsigned>(size() * 8); }
    bool operator==(const IpAddress&) const = default;
};

struct IpAddressHash {
    size_t operator()(const IpAddress& a) const noexcept;
};

// An address with the leading bits that count; host bits are cleared.
struct IpNetwork {
    IpAddress base;
    unsigned prefix = 0;
    bool operator==(const IpNetwork&) const = default;
};

// "192.0.2.7" (four decimal parts, no leading zeros beyond a lone 0) or an IPv6
// address in any of its usual forms ("::1", "2001:db8::7", "::ffff:192.0.2.7").
// An IPv4-mapped IPv6 address is taken as the IPv4 address it carries, since a
// dual-stack listener reports IPv4 peers that way.
std::optional<IpAddress> parseIpAddress(std::string_view text);

// "ADDRESS" (a network of one) or "ADDRESS/PREFIX"; host bits of the address are
// cleared, so "10.1.2.3/24" is the network 10.1.2.0/24.
std::optional<IpNetwork> parseIpNetwork(std::string_view text);

// Dotted decimal, or IPv6 with the longest run of zero groups as "::".
std::string formatIpAddress(const IpAddress& address);
// The address alone for a network of one, "ADDRESS/PREFIX" otherwise.
std::string formatIpNetwork(const IpNetwork& network);

bool networkContains(const IpNetwork& network, const IpAddress& address);

}  // namespace karst::net
