// RconClient: a remote-console client for tests and operators' scripts,
// written from docs/protocol.md ("The remote console"). Every wait is bounded
// in steady-clock milliseconds, never the server's test clock.
#pragma once

#include "common/framed_link.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace karst::client {

struct RconMessage {
    int32_t id = 0;
    int32_t type = 0;
    std::string body;
};

inline constexpr int32_t kRconTypeAuth = 3;
inline constexpr int32_t kRconTypeAuthResponse = 2;
inline constexpr int32_t kRconTypeCommand = 2;
inline constexpr int32_t kRconTypeResponse = 0;

class RconClient {
public:
    bool connect(uint16_t port, const std::string& host = "127.0.0.1", int timeoutMs = 2000);
    void close() { socket_.reset(); buffer_.clear(); }

    bool send(int32_t id, int32_t type, std::string_view body);
    bool sendRaw(std::span<const uint8_t> bytes);
    // The next whole packet, or nothing when none came in time or the peer closed.
    std::optional<RconMessage> receive(int timeoutMs = 2000);
    // True once the server has closed the connection (bytes before the close are dropped).
    bool closedByPeer(int timeoutMs = 2000);

    // Sends the password; the AUTH_RESPONSE's verdict, or nothing when none came.
    std::optional<bool> login(std::string_view password);
    // Runs one command and gathers its reply, however many packets it took;
    // nothing when the connection failed.
    std::optional<std::string> command(std::string_view line);

    // The bytes of one packet as the protocol lays it out.
    static std::vector<uint8_t> encode(int32_t id, int32_t type, std::string_view body);

private:
    tools::OwnedSocket socket_;
    std::vector<uint8_t> buffer_;
    int32_t nextId_ = 1;
};

}  // namespace karst::client
