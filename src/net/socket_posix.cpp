// POSIX implementation of the socket layer (Linux first; other POSIX systems
// lack only sendmmsg and the keepalive tuning, which fall back gracefully).
#include "net/socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <sys/socket.h>
#ifdef __linux__
#include <sys/epoll.h>
#endif
#include <unistd.h>

#include <system_error>
#include <utility>

namespace karst::net {

namespace {

// What the common steps in socket_common.inc call the system's handle and
// address length, and how they accept and judge a failed accept here.
int native(SocketHandle s) { return static_cast<int>(s); }
using AddressLength = socklen_t;

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

IoResult fromErrno() {
    IoResult r;
    r.status = wouldBlock(errno) ? IoStatus::WouldBlock : IoStatus::Failed;
    return r;
}

SocketHandle acceptNative(SocketHandle listener, sockaddr_storage& ss, AddressLength& len) {
    const int s = ::accept4(native(listener), reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
    return s < 0 ? kInvalidSocket : static_cast<SocketHandle>(s);
}

AcceptOutcome acceptFailure() {
    if (wouldBlock(errno)) return AcceptOutcome::NothingPending;
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        return AcceptOutcome::OutOfResources;
    return AcceptOutcome::Failed;
}

// getaddrinfo's codes are its own, not errno values, and only gai_strerror
// knows their words.
class ResolverCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "getaddrinfo"; }
    std::string message(int code) const override { return gai_strerror(code); }
};

std::error_code resolverError(int result) {
    // EAI_SYSTEM leaves the real reason in errno.
    if (result == EAI_SYSTEM) return std::error_code(errno, std::generic_category());
    static const ResolverCategory category;
    return std::error_code(result, category);
}

}  // namespace

#include "net/socket_common.inc"

bool startSocketLibrary() {
    // A send to a peer that has gone must fail with EPIPE, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

void stopSocketLibrary() {}

std::error_code lastSocketError() { return std::error_code(errno, std::generic_category()); }

SocketHandle openSocket(int family, int socketType, int protocol) {
    const int s = ::socket(family, socketType | SOCK_CLOEXEC, protocol);
    return s < 0 ? kInvalidSocket : static_cast<SocketHandle>(s);
}

void closeSocket(SocketHandle s) {
    if (s != kInvalidSocket) ::close(native(s));
}

bool setReuseAddress(SocketHandle s) {
    const int one = 1;
    return ::setsockopt(native(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
}

bool setNonBlocking(SocketHandle s) {
    const int flags = ::fcntl(native(s), F_GETFL, 0);
    return flags >= 0 && ::fcntl(native(s), F_SETFL, flags | O_NONBLOCK) == 0;
}

bool setNoDelay(SocketHandle s) {
    const int one = 1;
    return ::setsockopt(native(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

bool setKeepAlive(SocketHandle s, int idleSeconds, int intervalSeconds, int probes) {
    const int one = 1;
    bool ok = ::setsockopt(native(s), SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) == 0;
#if defined(TCP_KEEPIDLE) && defined(TCP_KEEPINTVL) && defined(TCP_KEEPCNT)
    ok = ::setsockopt(native(s), IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) == 0 && ok;
    ok = ::setsockopt(native(s), IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds,
                      sizeof intervalSeconds) == 0 && ok;
    ok = ::setsockopt(native(s), IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0 && ok;
#else
    (void)idleSeconds;
    (void)intervalSeconds;
    (void)probes;
#endif
    return ok;
}

bool setBufferSizes(SocketHandle s, int bytes) {
    bool ok = true;
    for (const auto& [force, plain] : {std::pair{SO_RCVBUFFORCE, SO_RCVBUF}, std::pair{SO_SNDBUFFORCE, SO_SNDBUF}}) {
        // The forced form passes the system's cap when the process may; the plain
        // form is clamped to net.core.[rw]mem_max.
        if (::setsockopt(native(s), SOL_SOCKET, force, &bytes, sizeof bytes) == 0) continue;
        ok = ::setsockopt(native(s), SOL_SOCKET, plain, &bytes, sizeof bytes) == 0 && ok;
    }
    return ok;
}

void returnLargeBlocksWhenFreed() {
#ifdef __GLIBC__
    // A fixed threshold: glibc otherwise raises it after each large free, and
    // blocks below it then stay in the heap once freed.
    constexpr int kLargeBlockBytes = 256 * 1024;
    (void)mallopt(M_MMAP_THRESHOLD, kLargeBlockBytes);
    (void)mallopt(M_TRIM_THRESHOLD, 4 * kLargeBlockBytes);
#endif
}

uint64_t raiseDescriptorLimit(uint64_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) return wanted;
    const rlim_t target = limit.rlim_max == RLIM_INFINITY
                              ? static_cast<rlim_t>(wanted)
                              : std::min(static_cast<rlim_t>(wanted), limit.rlim_max);
    if (target > limit.rlim_cur) {
        rlimit raised = limit;
        raised.rlim_cur = target;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) return target;
    }
    return limit.rlim_cur;
}

IoResult receiveBytes(SocketHandle s, std::span<uint8_t> buffer) {
    ssize_t n;
    do {
        n = ::recv(native(s), buffer.data(), buffer.size(), 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? fromErrno() : streamResult(static_cast<size_t>(n));
}

IoResult sendBytes(SocketHandle s, std::span<const uint8_t> data) {
    ssize_t n;
    do {
        n = ::send(native(s), data.data(), data.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? fromErrno() : streamResult(static_cast<size_t>(n));
}

IoResult receiveDatagram(SocketHandle s, std::span<uint8_t> buffer, SocketAddress& from) {
    socklen_t len = kSocketAddressStorage;
    ssize_t n;
    do {
        // MSG_TRUNC makes Linux report the datagram's real length, so a datagram
        // longer than the buffer is recognised instead of silently cut short.
        n = ::recvfrom(native(s), buffer.data(), buffer.size(), MSG_TRUNC,
                       reinterpret_cast<sockaddr*>(from.storage.data()), &len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return fromErrno();
    from.length = static_cast<int32_t>(len);
    const bool truncated = static_cast<size_t>(n) > buffer.size();
    return datagramResult(truncated ? buffer.size() : static_cast<size_t>(n), truncated);
}

IoResult sendDatagram(SocketHandle s, std::span<const uint8_t> data, const SocketAddress& to) {
    ssize_t n;
    do {
        n = ::sendto(native(s), data.data(), data.size(), MSG_NOSIGNAL, asSockaddr(to),
                     static_cast<socklen_t>(to.length));
    } while (n < 0 && errno == EINTR);
    return n < 0 ? fromErrno() : datagramResult(static_cast<size_t>(n));
}

void sendDatagramBatch(SocketHandle s, std::span<const uint8_t> data,
                       std::span<DatagramSend> destinations) {
#if defined(__linux__)
    constexpr size_t kBatch = 64;
    iovec iov{const_cast<uint8_t*>(data.data()), data.size()};
    mmsghdr msgs[kBatch];
    size_t done = 0;
    while (done < destinations.size()) {
        const size_t count = std::min(kBatch, destinations.size() - done);
        for (size_t i = 0; i < count; ++i) {
            const SocketAddress& to = *destinations[done + i].to;
            msgs[i] = mmsghdr{};
            msgs[i].msg_hdr.msg_name = const_cast<uint8_t*>(to.storage.data());
            msgs[i].msg_hdr.msg_namelen = static_cast<socklen_t>(to.length);
            msgs[i].msg_hdr.msg_iov = &iov;
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int sent;
        do {
            sent = ::sendmmsg(native(s), msgs, static_cast<unsigned>(count), MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        if (sent <= 0) {
            // The first message of the batch failed: mark it and go on with the rest.
            destinations[done].sentWhole = false;
            ++done;
            continue;
        }
        for (int i = 0; i < sent; ++i)
            destinations[done + static_cast<size_t>(i)].sentWhole = msgs[i].msg_len == data.size();
        done += static_cast<size_t>(sent);
    }
#else
    sendDatagramsOneByOne(s, data, destinations);
#endif
}


int pollSockets(std::vector<PollEntry>& entries, int timeoutMs) {
    // Kept between calls so a pass does not allocate once the set has grown.
    static thread_local std::vector<pollfd> fds;
    fds.resize(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        short events = 0;
        if (entries[i].events & kPollIn) events |= POLLIN;
        if (entries[i].events & kPollOut) events |= POLLOUT;
        fds[i] = pollfd{native(entries[i].socket), events, 0};
    }
    const int n = ::poll(fds.data(), static_cast<nfds_t>(fds.size()), timeoutMs);
    if (n <= 0) return n;
    for (size_t i = 0; i < entries.size(); ++i)
        entries[i].revents = pollFlagsFrom(fds[i].revents, POLLIN, POLLOUT);
    return n;
}

#ifdef __linux__

SocketHandle openReadinessQueue() {
    const int q = ::epoll_create1(EPOLL_CLOEXEC);
    return q < 0 ? kInvalidSocket : static_cast<SocketHandle>(q);
}

void closeReadinessQueue(SocketHandle queue) { ::close(native(queue)); }

bool watchSocket(SocketHandle queue, SocketHandle s, uint16_t events, uint64_t token, bool add) {
    // Level-triggered: a socket left with unread bytes is reported again, as poll would.
    epoll_event e{};
    if (events & kPollIn) e.events |= EPOLLIN;
    if (events & kPollOut) e.events |= EPOLLOUT;
    e.data.u64 = token;
    return ::epoll_ctl(native(queue), add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, native(s), &e) == 0;
}

void unwatchSocket(SocketHandle queue, SocketHandle s) {
    epoll_event unused{};
    (void)::epoll_ctl(native(queue), EPOLL_CTL_DEL, native(s), &unused);
}

int waitReadiness(SocketHandle queue, std::span<ReadyEvent> ready, int timeoutMs) {
    static thread_local std::vector<epoll_event> events;
    events.resize(ready.size());
    const int n = ::epoll_wait(native(queue), events.data(), static_cast<int>(events.size()), timeoutMs);
    for (int i = 0; i < n; ++i) {
        const uint32_t r = events[static_cast<size_t>(i)].events;
        uint16_t out = 0;
        if (r & EPOLLIN) out |= kPollIn;
        if (r & EPOLLOUT) out |= kPollOut;
        if (r & EPOLLERR) out |= kPollError;
        if (r & EPOLLHUP) out |= kPollHangUp;
        ready[static_cast<size_t>(i)] = ReadyEvent{events[static_cast<size_t>(i)].data.u64, out};
    }
    return n;
}

#endif

}  // namespace karst::net
