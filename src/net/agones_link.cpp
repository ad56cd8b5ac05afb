#include "net/agones_link.h"

#include <charconv>
#include <system_error>
#include <utility>
#include <vector>

namespace karst {

std::string_view agonesCallName(AgonesCall call) {
    switch (call) {
        case AgonesCall::Ready: return "ready";
        case AgonesCall::Health: return "health";
        case AgonesCall::Shutdown: return "shutdown";
    }
    return "health";
}

std::string agonesRequest(AgonesCall call, uint16_t port) {
    return "POST /" + std::string(agonesCallName(call)) + " HTTP/1.1\r\n" +
           "Host: localhost:" + std::to_string(port) + "\r\n" +
           "Content-Type: application/json\r\n"
           "Content-Length: 2\r\n"
           "Connection: close\r\n"
           "\r\n"
           "{}";
}

std::optional<int> httpStatusCode(std::string_view response) {
    const size_t end = response.find("\r\n");
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view line = response.substr(0, end);
    // "HTTP/1.x NNN" and, usually, a reason phrase after a space.
    if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[8] != ' ') return std::nullopt;
    if (line.size() > 12 && line[12] != ' ') return std::nullopt;
    int code = 0;
    const char* first = line.data() + 9;
    const auto [stop, error] = std::from_chars(first, first + 3, code);
    if (error != std::errc() || stop != first + 3 || code < 100) return std::nullopt;
    return code;
}

void AgonesLink::begin(AgonesCall call, uint64_t nowNs) {
    drop();
    call_ = call;
    startedNs_ = nowNs;
    request_ = agonesRequest(call, port_);
    sent_ = 0;
    response_.clear();
    early_.reset();
    std::string reason;
    const auto addresses = net::resolveAddresses("127.0.0.1", port_, net::SocketType::Stream, false, &reason);
    if (addresses.empty()) {
        early_ = AgonesOutcome{call, false, reason};
        return;
    }
    const net::ResolvedAddress& address = addresses.front();
    socket_ = net::openSocket(address.family, address.socketType, address.protocol);
    if (socket_ == net::kInvalidSocket || !net::setNonBlocking(socket_)) {
        early_ = AgonesOutcome{call, false, net::lastSocketErrorText()};
        drop();
        return;
    }
    step_ = Step::Sending;
    if (net::connectSocket(socket_, address.address)) return;
    const std::error_code error = net::lastSocketError();
    if (error == std::errc::operation_in_progress || error == std::errc::operation_would_block) {
        step_ = Step::Connecting;
        return;
    }
    early_ = AgonesOutcome{call, false, net::lastSocketErrorText()};
    drop();
}

std::optional<AgonesOutcome> AgonesLink::advance(uint64_t nowNs) {
    if (early_) return std::exchange(early_, std::nullopt);
    if (!busy()) return std::nullopt;
    if (nowNs - startedNs_ >= kExchangeTimeoutNs) return finish(false, "no answer within 2 s");
    if (step_ == Step::Connecting) {
        std::vector<net::PollEntry> entry{{socket_, net::kPollOut, 0}};
        if (net::pollSockets(entry, 0) <= 0) return std::nullopt;
        step_ = Step::Sending;  // a refused connection shows as the send's failure
    }
    if (step_ == Step::Sending) {
        if (auto outcome = sendRest()) return outcome;
        if (step_ == Step::Sending) return std::nullopt;
    }
    return receive();
}

std::optional<AgonesOutcome> AgonesLink::sendRest() {
    const std::string_view rest = std::string_view(request_).substr(sent_);
    const net::IoResult result = net::sendBytes(
        socket_, {reinterpret_cast<const uint8_t*>(rest.data()), rest.size()});
    if (result.status == net::IoStatus::WouldBlock) return std::nullopt;
    if (result.status != net::IoStatus::Ok) return finish(false, net::lastSocketErrorText());
    sent_ += result.bytes;
    if (sent_ == request_.size()) step_ = Step::Receiving;
    return std::nullopt;
}

std::optional<AgonesOutcome> AgonesLink::receive() {
    std::array<uint8_t, 512> buffer{};
    while (response_.size() < kResponseLimit) {
        const net::IoResult result = net::receiveBytes(socket_, buffer);
        if (result.status == net::IoStatus::WouldBlock) return std::nullopt;
        if (result.status != net::IoStatus::Ok) break;  // closed or failed: judge what came
        response_.append(reinterpret_cast<const char*>(buffer.data()), result.bytes);
        if (httpStatusCode(response_)) break;
    }
    const std::optional<int> status = httpStatusCode(response_);
    if (!status) return finish(false, response_.empty() ? "the connection closed without an answer"
                                                        : "the answer is not HTTP");
    if (*status < 200 || *status > 299) return finish(false, "HTTP status " + std::to_string(*status));
    return finish(true, std::string());
}

std::optional<AgonesOutcome> AgonesLink::finish(bool accepted, std::string failure) {
    drop();
    return AgonesOutcome{call_, accepted, std::move(failure)};
}

void AgonesLink::drop() {
    if (socket_ != net::kInvalidSocket) net::closeSocket(socket_);
    socket_ = net::kInvalidSocket;
}

}  // namespace karst
