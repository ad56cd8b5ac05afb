#include "support/fault_proxy.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace karst::test {

namespace {

constexpr size_t kReadChunk = 64 * 1024;

void closeQuietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// A zero linger turns close into a reset: the client learns at once that its
// path is gone, as it would from a broken network, instead of reading a clean
// end of stream that looks like the database hanging up on purpose.
void resetAndClose(int& fd) {
    const linger abortive{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    closeQuietly(fd);
}

bool transient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

int listenOnLoopback(uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "fault proxy socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "fault proxy listen 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    return fd;
}

// -1 when the socket is missing or its listener is down or full: the client is
// then turned away, as it would be by a database it cannot reach.
int connectUnix(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        closeQuietly(fd);
    return fd;
}

// Bytes from one end on their way to the other: at most one read's worth, as
// the source is read again only once they have been delivered.
struct Flow {
    std::string waiting;
    bool ended = false;     // the source closed its sending half
    bool shutDown = false;  // and the destination's sending half was closed after delivery

    bool wantsInput() const { return !ended && waiting.empty(); }
};

// False on an error that ends the pair.
bool receive(int from, Flow& flow) {
    if (!flow.wantsInput()) return true;
    char chunk[kReadChunk];
    const ssize_t n = ::recv(from, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) flow.waiting.assign(chunk, static_cast<size_t>(n));
    else if (n == 0) flow.ended = true;
    else return transient(errno);
    return true;
}

// False on an error that ends the pair.
bool deliver(int to, Flow& flow) {
    while (!flow.waiting.empty()) {
        const ssize_t n =
            ::send(to, flow.waiting.data(), flow.waiting.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) return transient(errno);
        flow.waiting.erase(0, static_cast<size_t>(n));
    }
    if (flow.ended && !flow.shutDown) {
        ::shutdown(to, SHUT_WR);
        flow.shutDown = true;
    }
    return true;
}

// While held, no socket is watched at all, so a held peer that hung up cannot
// keep the loop spinning on its POLLHUP.
pollfd watch(int fd, const Flow& from, const Flow& to, bool forwarding) {
    short events = 0;
    if (forwarding && from.wantsInput()) events |= POLLIN;
    if (forwarding && !to.waiting.empty()) events |= POLLOUT;
    return {events != 0 ? fd : -1, events, 0};
}

}  // namespace

struct FaultProxy::Pair {
    int client = -1;    // TCP, from the code under test
    int upstream = -1;  // Unix, to the cluster
    Flow toUpstream;
    Flow toClient;
    bool failed = false;

    Pair(int clientFd, int upstreamFd) : client(clientFd), upstream(upstreamFd) {}
    ~Pair() {
        closeQuietly(client);
        closeQuietly(upstream);
    }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;

    bool finished() const { return failed || (toUpstream.shutDown && toClient.shutDown); }

    void pump(short clientEvents, short upstreamEvents) {
        constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
        bool ok = true;
        if (clientEvents & kReadable) ok = receive(client, toUpstream);
        if (ok && (upstreamEvents & kReadable)) ok = receive(upstream, toClient);
        failed = !(ok && deliver(upstream, toUpstream) && deliver(client, toClient));
    }
};

FaultProxy::FaultProxy(std::string socketPath) : socketPath_(std::move(socketPath)) {
    listener_ = listenOnLoopback(port_);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) {
        const int error = errno;
        closeQuietly(listener_);
        throw std::system_error(error, std::generic_category(), "fault proxy eventfd");
    }
    thread_ = std::thread([this] { serve(); });
}

FaultProxy::~FaultProxy() {
    stopping_ = true;
    poke();
    thread_.join();
    pairs_.clear();
    closeQuietly(listener_);
    closeQuietly(wake_);
}

void FaultProxy::poke() {
    const uint64_t one = 1;
    // Only a counter at its maximum refuses this, and then the loop is awake anyway.
    if (::write(wake_, &one, sizeof one) < 0) return;
}

void FaultProxy::setMode(Mode mode) {
    {
        std::lock_guard lock(mutex_);
        mode_ = mode;
    }
    poke();  // the loop watches other sockets now
}

void FaultProxy::serve() {
    std::vector<pollfd> fds;
    while (!stopping_) {
        bool forwarding;
        {
            std::lock_guard lock(mutex_);
            forwarding = mode_ == Mode::Forward;
        }
        fds.assign({{wake_, POLLIN, 0}, {listener_, POLLIN, 0}});
        for (const auto& pair : pairs_) {
            fds.push_back(watch(pair->client, pair->toUpstream, pair->toClient, forwarding));
            fds.push_back(watch(pair->upstream, pair->toClient, pair->toUpstream, forwarding));
        }
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            std::abort();  // only a broken descriptor set gets here: a bug in this file
        if (fds[0].revents != 0) {
            uint64_t pokes = 0;
            if (::read(wake_, &pokes, sizeof pokes) < 0) pokes = 0;
        }
        {
            // Judged again under the lock: what poll saw before a Hold is left unread.
            std::lock_guard lock(mutex_);
            if (mode_ == Mode::Forward)
                for (size_t i = 0; i < pairs_.size(); ++i)
                    pairs_[i]->pump(fds[2 + 2 * i].revents, fds[3 + 2 * i].revents);
        }
        std::erase_if(pairs_, [](const auto& pair) { return pair->finished(); });
        if (fds[1].revents != 0) acceptPending();
    }
}

void FaultProxy::acceptPending() {
    for (;;) {
        int client = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == ECONNABORTED || errno == EINTR) continue;
            return;
        }
        const int upstream = connectUnix(socketPath_);
        if (upstream < 0) {
            resetAndClose(client);
            continue;
        }
        // The database protocol is many small messages each waiting for a reply.
        const int on = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        pairs_.push_back(std::make_unique<Pair>(client, upstream));
    }
}

}  // namespace karst::test
