#include "support/agones_sidecar.h"

#include <chrono>

namespace karst::testing {

AgonesSidecar::AgonesSidecar(uint16_t port) {
    net::startSocketLibrary();
    const auto addresses = net::resolveAddresses("127.0.0.1", port, net::SocketType::Stream, true);
    const net::ResolvedAddress& address = addresses.at(0);
    listener_ = net::openSocket(address.family, address.socketType, address.protocol);
    net::setReuseAddress(listener_);
    if (!net::bindSocket(listener_, address.address) || !net::listenSocket(listener_))
        throw std::runtime_error("the stand-in sidecar cannot listen on port " + std::to_string(port));
    port_ = net::localPort(listener_);
    thread_ = std::thread([this] { serve(); });
}

AgonesSidecar::~AgonesSidecar() {
    stop_ = true;
    thread_.join();
    for (net::SocketHandle s : silenced_) net::closeSocket(s);
    net::closeSocket(listener_);
}

void AgonesSidecar::onRequest(std::function<void(const Request&)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

size_t AgonesSidecar::count(const std::string& path) const {
    size_t n = 0;
    for (const Request& request : requests()) n += request.path == path;
    return n;
}

std::vector<AgonesSidecar::Request> AgonesSidecar::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

bool AgonesSidecar::await(const std::string& path, size_t times) const {
    for (int i = 0; i < 1000 && count(path) < times; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return count(path) >= times;
}

void AgonesSidecar::serve() {
    while (!stop_) {
        std::vector<net::PollEntry> entries{{listener_, net::kPollIn, 0}};
        if (net::pollSockets(entries, 10) <= 0) continue;
        const net::SocketHandle connection = net::acceptConnection(listener_);
        if (connection != net::kInvalidSocket) take(connection);
    }
}

// Reads one request (headers, then the body its Content-Length gives), with a
// blocking socket and a deadline, and answers it.
void AgonesSidecar::take(net::SocketHandle connection) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < deadline) {
        const size_t end = text.find("\r\n\r\n");
        if (end != std::string::npos) {
            const size_t at = text.find("Content-Length: ");
            const size_t body = at == std::string::npos ? 0 : std::stoul(text.substr(at + 16));
            if (text.size() >= end + 4 + body) break;
        }
        std::vector<net::PollEntry> entries{{connection, net::kPollIn, 0}};
        if (net::pollSockets(entries, 10) <= 0) continue;
        std::array<uint8_t, 512> buffer{};
        const net::IoResult read = net::receiveBytes(connection, buffer);
        if (read.status != net::IoStatus::Ok) break;
        text.append(reinterpret_cast<const char*>(buffer.data()), read.bytes);
    }
    const size_t space = text.find(' ');
    Request request{text.substr(space + 1, text.find(' ', space + 1) - space - 1), text};
    std::function<void(const Request&)> hook;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        hook = hook_;
    }
    if (hook) hook(request);
    if (answer_ == Answer::Silence) {
        silenced_.push_back(connection);
        return;
    }
    const std::string reply = answer_ == Answer::Ok
        ? "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}"
        : "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n";
    net::sendBytes(connection, {reinterpret_cast<const uint8_t*>(reply.data()), reply.size()});
    net::closeSocket(connection);
}

}  // namespace karst::testing
