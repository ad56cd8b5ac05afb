#include "common/command_line.h"

#include "net/socket.h"

#include <charconv>

namespace karst::tools {

std::optional<uint64_t> parseDecimal(std::string_view text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string rangeError(std::string_view name, uint64_t low, uint64_t high) {
    return std::string(name) + " needs a whole number from " + std::to_string(low) + " to " +
           std::to_string(high) + ".";
}

bool isLoopbackHost(std::string_view host) {
    return host == "127.0.0.1" || host == "::1" || host == "localhost";
}

std::string loopbackAddress(std::string_view host) {
    return host == "::1" ? "::1" : "127.0.0.1";
}

uint16_t freeLoopbackPort(std::string_view host) {
    const auto addresses =
        net::resolveAddresses(loopbackAddress(host), 0, net::SocketType::Stream, false);
    if (addresses.empty()) return 0;
    const net::ResolvedAddress& a = addresses.front();
    const net::SocketHandle s = net::openSocket(a.family, a.socketType, a.protocol);
    uint16_t port = 0;
    if (s != net::kInvalidSocket && net::bindSocket(s, a.address)) port = net::localPort(s);
    net::closeSocket(s);
    return port;
}

}  // namespace karst::tools
