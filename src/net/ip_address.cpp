#include "net/ip_address.h"

#include <functional>
#include <vector>

namespace karst::net {

namespace {

constexpr size_t kIpv6Groups = 8;
constexpr std::array<uint8_t, 12> kIpv4MappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

std::optional<unsigned> parseDecimal(std::string_view text, unsigned max) {
    // No sign, no spaces, and no leading zero that could be read as octal elsewhere.
    if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > max) return std::nullopt;
    return value;
}

std::optional<std::array<uint8_t, kIpv4Bytes>> parseIpv4(std::string_view text) {
    std::array<uint8_t, kIpv4Bytes> out{};
    for (size_t i = 0; i < kIpv4Bytes; ++i) {
        const size_t dot = text.find('.');
        const bool last = i + 1 == kIpv4Bytes;
        if (last != (dot == std::string_view::npos)) return std::nullopt;
        const auto part = parseDecimal(text.substr(0, dot), 255);
        if (!part) return std::nullopt;
        out[i] = static_cast<uint8_t>(*part);
        text = last ? std::string_view() : text.substr(dot + 1);
    }
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Groups of one side of "::": hex groups of 1 to 4 digits, the last of which may be
// a dotted IPv4 address standing for two groups.
bool parseGroups(std::string_view text, bool mayEndInIpv4, std::vector<uint16_t>& groups) {
    if (text.empty()) return true;
    for (;;) {
        const size_t colon = text.find(':');
        const std::string_view group = text.substr(0, colon);
        if (colon == std::string_view::npos && mayEndInIpv4 && group.find('.') != std::string_view::npos) {
            const auto v4 = parseIpv4(group);
            if (!v4) return false;
            groups.push_back(static_cast<uint16_t>((*v4)[0] << 8 | (*v4)[1]));
            groups.push_back(static_cast<uint16_t>((*v4)[2] << 8 | (*v4)[3]));
            return true;
        }
        if (group.empty() || group.size() > 4) return false;
        unsigned value = 0;
        for (char c : group) {
            const int d = hexDigit(c);
            if (d < 0) return false;
            value = value * 16 + static_cast<unsigned>(d);
        }
        groups.push_back(static_cast<uint16_t>(value));
        if (groups.size() > kIpv6Groups) return false;
        if (colon == std::string_view::npos) return true;
        text = text.substr(colon + 1);
    }
}

std::optional<IpAddress> parseIpv6(std::string_view text) {
    std::vector<uint16_t> head, tail;
    const size_t gap = text.find("::");
    bool ok;
    if (gap == std::string_view::npos) {
        ok = parseGroups(text, true, head) && head.size() == kIpv6Groups;
    } else {
        const std::string_view right = text.substr(gap + 2);
        ok = right.find("::") == std::string_view::npos && parseGroups(text.substr(0, gap), false, head) &&
             parseGroups(right, true, tail) && head.size() + tail.size() < kIpv6Groups;
    }
    if (!ok) return std::nullopt;
    IpAddress address;
    address.v6 = true;
    std::array<uint16_t, kIpv6Groups> all{};
    std::copy(head.begin(), head.end(), all.begin());
    std::copy(tail.begin(), tail.end(), all.end() - static_cast<std::ptrdiff_t>(tail.size()));
    for (size_t i = 0; i < kIpv6Groups; ++i) {
        address.bytes[2 * i] = static_cast<uint8_t>(all[i] >> 8);
        address.bytes[2 * i + 1] = static_cast<uint8_t>(all[i]);
    }
    return address;
}

IpAddress unmapIpv4(const IpAddress& address) {
    if (!address.v6 || !std::equal(kIpv4MappedPrefix.begin(), kIpv4MappedPrefix.end(), address.bytes.begin()))
        return address;
    IpAddress v4;
    std::copy(address.bytes.begin() + 12, address.bytes.end(), v4.bytes.begin());
    return v4;
}

void clearHostBits(IpAddress& address, unsigned prefix) {
    for (size_t i = 0; i < address.size(); ++i) {
        const unsigned bitsBefore = static_cast<unsigned>(i * 8);
        if (prefix >= bitsBefore + 8) continue;
        const unsigned keep = prefix > bitsBefore ? prefix - bitsBefore : 0;
        address.bytes[i] &= static_cast<uint8_t>(0xFF00u >> keep);
    }
}

}  // namespace

size_t IpAddressHash::operator()(const IpAddress& a) const noexcept {
    size_t h = a.v6 ? 0x9E3779B97F4A7C15ull : 0;
    for (uint8_t b : a.bytes) h = h * 131 + b;
    return std::hash<size_t>{}(h);
}

std::optional<IpAddress> parseIpAddress(std::string_view text) {
    if (text.find(':') != std::string_view::npos) {
        const auto v6 = parseIpv6(text);
        if (!v6) return std::nullopt;
        return unmapIpv4(*v6);
    }
    const auto v4 = parseIpv4(text);
    if (!v4) return std::nullopt;
    IpAddress address;
    std::copy(v4->begin(), v4->end(), address.bytes.begin());
    return address;
}

std::optional<IpNetwork> parseIpNetwork(std::string_view text) {
    const size_t slash = text.find('/');
    const auto address = parseIpAddress(text.substr(0, slash));
    if (!address) return std::nullopt;
    IpNetwork network{*address, address->maxPrefix()};
    if (slash != std::string_view::npos) {
        const auto prefix = parseDecimal(text.substr(slash + 1), address->maxPrefix());
        if (!prefix) return std::nullopt;
        network.prefix = *prefix;
    }
    clearHostBits(network.base, network.prefix);
    return network;
}

std::string formatIpAddress(const IpAddress& address) {
    std::string out;
    if (!address.v6) {
        for (size_t i = 0; i < kIpv4Bytes; ++i) {
            if (i) out += '.';
            out += std::to_string(address.bytes[i]);
        }
        return out;
    }
    std::array<unsigned, kIpv6Groups> groups{};
    for (size_t i = 0; i < kIpv6Groups; ++i)
        groups[i] = static_cast<unsigned>(address.bytes[2 * i] << 8 | address.bytes[2 * i + 1]);
    // The longest run of two or more zero groups (the first of equals) becomes "::".
    size_t bestStart = kIpv6Groups, bestLength = 1;
    for (size_t i = 0; i < kIpv6Groups;) {
        size_t j = i;
        while (j < kIpv6Groups && groups[j] == 0) ++j;
        if (j - i > bestLength) bestStart = i, bestLength = j - i;
        i = j == i ? i + 1 : j;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < kIpv6Groups; ++i) {
        if (i == bestStart) {
            out += "::";
            i += bestLength - 1;
            continue;
        }
        if (i && i != bestStart + bestLength) out += ':';
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned digit = (groups[i] >> shift) & 0xF;
            if (digit || started || shift == 0) out += kHex[digit], started = true;
        }
    }
    return out;
}

std::string formatIpNetwork(const IpNetwork& network) {
    std::string out = formatIpAddress(network.base);
    if (network.prefix != network.base.maxPrefix()) {
        out += '/';
        out += std::to_string(network.prefix);
    }
    return out;
}

bool networkContains(const IpNetwork& network, const IpAddress& address) {
    if (network.base.v6 != address.v6) return false;
    IpAddress masked = address;
    clearHostBits(masked, network.prefix);
    return masked == network.base;
}

}  // namespace karst::net
