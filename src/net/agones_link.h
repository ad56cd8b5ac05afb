// One exchange at a time with the Agones SDK sidecar's REST interface on this
// machine: a POST of "{}" to /ready, /health or /shutdown over a fresh loopback
// TCP connection, and the HTTP status of the answer. Every step is non-blocking,
// so the event loop advances the exchange once per pass and never waits on it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/socket.h"

namespace karst {

enum class AgonesCall { Ready, Health, Shutdown };

// "ready", "health" or "shutdown": the path and the word in console lines.
std::string_view agonesCallName(AgonesCall call);
// The whole HTTP/1.1 request for `call` to the sidecar on localhost:`port`.
std::string agonesRequest(AgonesCall call, uint16_t port);
// The status code of a response's first line ("HTTP/1.1 200 OK"), once the
// line is complete; nullopt before that or when it is not a status line.
std::optional<int> httpStatusCode(std::string_view response);

struct AgonesOutcome {
    AgonesCall call = AgonesCall::Health;
    bool accepted = false;  // the sidecar answered 2xx
    std::string failure;    // why not, when not
};

class AgonesLink {
public:
    // An exchange unanswered this long has failed (the socket is dropped).
    static constexpr uint64_t kExchangeTimeoutNs = 2'000'000'000;

    explicit AgonesLink(uint16_t port) : port_(port) {}
    ~AgonesLink() { drop(); }
    AgonesLink(const AgonesLink&) = delete;
    AgonesLink& operator=(const AgonesLink&) = delete;

    bool busy() const { return socket_ != net::kInvalidSocket; }
    uint16_t port() const { return port_; }
    // Opens the connection and starts the call; the outcome comes from advance().
    void begin(AgonesCall call, uint64_t nowNs);
    // One non-blocking step; the outcome once the exchange is over.
    std::optional<AgonesOutcome> advance(uint64_t nowNs);

private:
    enum class Step { Connecting, Sending, Receiving };
    std::optional<AgonesOutcome> finish(bool accepted, std::string failure);
    std::optional<AgonesOutcome> sendRest();
    std::optional<AgonesOutcome> receive();
    void drop();

    // A status line and its headers fit easily; the body is never needed.
    static constexpr size_t kResponseLimit = 1024;

    uint16_t port_;
    net::SocketHandle socket_ = net::kInvalidSocket;
    AgonesCall call_ = AgonesCall::Health;
    Step step_ = Step::Connecting;
    uint64_t startedNs_ = 0;
    std::string request_;
    size_t sent_ = 0;
    std::string response_;
    // begin() may already know the outcome (nothing listens); advance() reports it.
    std::optional<AgonesOutcome> early_;
};

}  // namespace karst
