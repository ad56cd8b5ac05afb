#include "client/rcon_client.h"

#include <chrono>

#include "common/wire.h"

namespace karst::client {

namespace {

using Clock = std::chrono::steady_clock;
using tools::getU32;
using tools::putU32;

void putI32(uint8_t* p, int32_t v) { putU32(p, static_cast<uint32_t>(v)); }
int32_t getI32(const uint8_t* p) { return static_cast<int32_t>(getU32(p)); }

int remainingMs(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Readable (or failed) within the time left; false on a timeout.
bool waitFor(net::SocketHandle s, uint16_t events, Clock::time_point end) {
    std::vector<net::PollEntry> entries{net::PollEntry{s, events, 0}};
    for (;;) {
        const int n = net::pollSockets(entries, remainingMs(end));
        if (n > 0) return true;
        if (n == 0 || Clock::now() >= end) return false;
    }
}

}  // namespace

bool RconClient::connect(uint16_t port, const std::string& host, int timeoutMs) {
    close();
    static const bool socketsReady = net::startSocketLibrary();
    (void)socketsReady;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (const net::ResolvedAddress& a : net::resolveAddresses(host, port, net::SocketType::Stream, false)) {
        tools::OwnedSocket s = tools::openNonBlocking(a);
        if (!s.valid()) continue;
        if (!net::connectSocket(s.get(), a.address) && !waitFor(s.get(), net::kPollOut, end)) continue;
        socket_ = std::move(s);
        return true;
    }
    return false;
}

std::vector<uint8_t> RconClient::encode(int32_t id, int32_t type, std::string_view body) {
    std::vector<uint8_t> bytes(14 + body.size(), 0);
    putI32(bytes.data(), static_cast<int32_t>(10 + body.size()));
    putI32(bytes.data() + 4, id);
    putI32(bytes.data() + 8, type);
    std::copy(body.begin(), body.end(), bytes.begin() + 12);
    return bytes;
}

bool RconClient::send(int32_t id, int32_t type, std::string_view body) {
    const std::vector<uint8_t> bytes = encode(id, type, body);
    return sendRaw(bytes);
}

bool RconClient::sendRaw(std::span<const uint8_t> bytes) {
    const auto end = Clock::now() + std::chrono::milliseconds(2000);
    while (socket_.valid() && !bytes.empty()) {
        const net::IoResult r = net::sendBytes(socket_.get(), bytes);
        if (r.status == net::IoStatus::Ok) bytes = bytes.subspan(r.bytes);
        else if (r.status != net::IoStatus::WouldBlock || !waitFor(socket_.get(), net::kPollOut, end)) return false;
    }
    return socket_.valid();
}

std::optional<RconMessage> RconClient::receive(int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (socket_.valid()) {
        if (buffer_.size() >= 4) {
            const size_t size = static_cast<size_t>(getI32(buffer_.data()));
            if (size < 10 || size > 4106) return std::nullopt;
            if (buffer_.size() >= 4 + size) {
                RconMessage message{getI32(buffer_.data() + 4), getI32(buffer_.data() + 8), {}};
                const auto body = buffer_.begin() + 12;
                message.body.assign(body, body + static_cast<std::ptrdiff_t>(size - 10));
                buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(4 + size));
                return message;
            }
        }
        uint8_t chunk[8192];
        const net::IoResult r = net::receiveBytes(socket_.get(), chunk);
        if (r.status == net::IoStatus::Ok) buffer_.insert(buffer_.end(), chunk, chunk + r.bytes);
        else if (r.status != net::IoStatus::WouldBlock || !waitFor(socket_.get(), net::kPollIn, end)) return std::nullopt;
    }
    return std::nullopt;
}

bool RconClient::closedByPeer(int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (socket_.valid()) {
        uint8_t chunk[8192];
        const net::IoResult r = net::receiveBytes(socket_.get(), chunk);
        if (r.status == net::IoStatus::Closed || r.status == net::IoStatus::Failed) return true;
        if (r.status == net::IoStatus::WouldBlock && !waitFor(socket_.get(), net::kPollIn, end)) return false;
    }
    return false;
}

std::optional<bool> RconClient::login(std::string_view password) {
    const int32_t id = nextId_++;
    if (!send(id, kRconTypeAuth, password)) return std::nullopt;
    const auto answer = receive();
    if (!answer || answer->type != kRconTypeAuthResponse) return std::nullopt;
    return answer->id == id;
}

std::optional<std::string> RconClient::command(std::string_view line) {
    const int32_t id = nextId_++;
    const int32_t marker = nextId_++;
    if (!send(id, kRconTypeCommand, line) || !send(marker, kRconTypeResponse, {})) return std::nullopt;
    std::string text;
    for (;;) {
        const auto message = receive();
        if (!message) return std::nullopt;
        if (message->id == marker) return text;
        if (message->id == id && message->type == kRconTypeResponse) text += message->body;
    }
}

}  // namespace karst::client
