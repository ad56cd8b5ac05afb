// Winsock 2 implementation of the socket layer.
//
// Where Winsock differs from POSIX in a way the server would notice, this file
// makes it behave as on Linux:
// - SO_REUSEADDR on Windows lets a second socket bind a port that a live socket
//   already holds, so two servers could share one port; Windows rebinds a
//   recently used port without it, so the option is not set at all.
// - An unconnected UDP socket reports a peer's ICMP "port unreachable" as a
//   WSAECONNRESET from the next recvfrom; that is switched off so one vanished
//   client cannot cut short a drain of everybody else's datagrams.
// - A datagram longer than the buffer fails with WSAEMSGSIZE instead of
//   returning its head; it is reported as a truncated read.
// WSAPoll reports a peer's orderly close as POLLHUP without POLLRDNORM, and a
// reset as POLLERR | POLLHUP; both reach the caller as hang-up or error.
#include "net/socket.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <mswsock.h>

#include <algorithm>
#include <cstring>
#include <system_error>

namespace karst::net {

static_assert(sizeof(sockaddr_storage) <= kSocketAddressStorage);

#include "net/socket_common.inc"

namespace {

SOCKET sock(SocketHandle s) { return static_cast<SOCKET>(s); }

const sockaddr* asSockaddr(const SocketAddress& a) {
    return reinterpret_cast<const sockaddr*>(a.storage.data());
}

IoResult fromLastError() {
    IoResult r;
    r.status = WSAGetLastError() == WSAEWOULDBLOCK ? IoStatus::WouldBlock : IoStatus::Failed;
    return r;
}

}  // namespace

bool startSocketLibrary() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void stopSocketLibrary() { WSACleanup(); }

std::string lastSocketErrorText() {
    return std::system_category().message(WSAGetLastError());
}

SocketHandle openSocket(int family, int socketType, int protocol) {
    const SOCKET s = ::socket(family, socketType, protocol);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    if (socketType == SOCK_DGRAM) {
        // Best effort: where the system refuses, a reset only ends one drain early.
        BOOL reportResets = FALSE;
        DWORD returned = 0;
        (void)WSAIoctl(s, SIO_UDP_CONNRESET, &reportResets, sizeof reportResets, nullptr, 0,
                       &returned, nullptr, nullptr);
    }
    return static_cast<SocketHandle>(s);
}

void closeSocket(SocketHandle s) {
    if (s != kInvalidSocket) ::closesocket(sock(s));
}

// A restarted server rebinds its port by default on Windows; SO_REUSEADDR would
// additionally let a second server bind the port a running one holds.
bool setReuseAddress(SocketHandle) { return true; }

bool bindSocket(SocketHandle s, const SocketAddress& address) {
    return ::bind(sock(s), asSockaddr(address), address.length) == 0;
}

bool listenSocket(SocketHandle s) { return ::listen(sock(s), SOMAXCONN) == 0; }

bool connectSocket(SocketHandle s, const SocketAddress& address) {
    return ::connect(sock(s), asSockaddr(address), address.length) == 0;
}

bool setNonBlocking(SocketHandle s) {
    u_long one = 1;
    return ::ioctlsocket(sock(s), FIONBIO, &one) == 0;
}

bool setNoDelay(SocketHandle s) {
    const BOOL one = TRUE;
    return ::setsockopt(sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                        sizeof one) == 0;
}

bool setKeepAlive(SocketHandle s, int idleSeconds, int intervalSeconds, int probes) {
    // Windows fixes the probe count (10 since Vista); idle time and interval are
    // set in milliseconds.
    (void)probes;
    tcp_keepalive settings{};
    settings.onoff = 1;
    settings.keepalivetime = static_cast<ULONG>(idleSeconds) * 1000;
    settings.keepaliveinterval = static_cast<ULONG>(intervalSeconds) * 1000;
    DWORD returned = 0;
    return WSAIoctl(sock(s), SIO_KEEPALIVE_VALS, &settings, sizeof settings, nullptr, 0, &returned,
                    nullptr, nullptr) == 0;
}

bool setBufferSizes(SocketHandle s, int bytes) {
    const char* value = reinterpret_cast<const char*>(&bytes);
    const bool received = ::setsockopt(sock(s), SOL_SOCKET, SO_RCVBUF, value, sizeof bytes) == 0;
    const bool sent = ::setsockopt(sock(s), SOL_SOCKET, SO_SNDBUF, value, sizeof bytes) == 0;
    return received && sent;
}

uint16_t localPort(SocketHandle s) {
    sockaddr_storage ss{};
    int len = sizeof ss;
    if (::getsockname(sock(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
    if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return 0;
}

SocketHandle acceptConnection(SocketHandle listener) {
    AcceptOutcome ignored;
    return acceptConnection(listener, ignored);
}

SocketHandle acceptConnection(SocketHandle listener, AcceptOutcome& outcome, SocketAddress* peer) {
    sockaddr_storage ss{};
    int len = sizeof ss;
    const SOCKET s = ::accept(sock(listener), reinterpret_cast<sockaddr*>(&ss), &len);
    if (s != INVALID_SOCKET) {
        outcome = AcceptOutcome::Accepted;
        if (peer) storePeer(ss, static_cast<size_t>(len), *peer);
        return static_cast<SocketHandle>(s);
    }
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK)
        outcome = AcceptOutcome::NothingPending;
    else if (error == WSAEMFILE || error == WSAENOBUFS)
        outcome = AcceptOutcome::OutOfResources;
    else
        outcome = AcceptOutcome::Failed;
    return kInvalidSocket;
}

// Winsock sockets are kernel handles, not C runtime descriptors: no per-process
// limit applies to them beyond memory.
uint64_t raiseDescriptorLimit(uint64_t wanted) { return wanted; }

// The Windows heap hands blocks this large to VirtualAlloc and back on its own.
void returnLargeBlocksWhenFreed() {}

IoResult receiveBytes(SocketHandle s, std::span<uint8_t> buffer) {
    const int n = ::recv(sock(s), reinterpret_cast<char*>(buffer.data()),
                         static_cast<int>(buffer.size()), 0);
    if (n == SOCKET_ERROR) return fromLastError();
    IoResult r;
    r.status = n == 0 ? IoStatus::Closed : IoStatus::Ok;
    r.bytes = static_cast<size_t>(n);
    return r;
}

IoResult sendBytes(SocketHandle s, std::span<const uint8_t> data) {
    const int n = ::send(sock(s), reinterpret_cast<const char*>(data.data()),
                         static_cast<int>(data.size()), 0);
    if (n == SOCKET_ERROR) return fromLastError();
    IoResult r;
    r.status = n == 0 ? IoStatus::Closed : IoStatus::Ok;
    r.bytes = static_cast<size_t>(n);
    return r;
}

IoResult receiveDatagram(SocketHandle s, std::span<uint8_t> buffer, SocketAddress& from) {
    int len = static_cast<int>(kSocketAddressStorage);
    const int n = ::recvfrom(sock(s), reinterpret_cast<char*>(buffer.data()),
                             static_cast<int>(buffer.size()), 0,
                             reinterpret_cast<sockaddr*>(from.storage.data()), &len);
    IoResult r;
    if (n == SOCKET_ERROR) {
        // Winsock reports a datagram longer than the buffer as WSAEMSGSIZE: the
        // datagram is consumed and its tail lost.
        if (WSAGetLastError() == WSAEMSGSIZE) {
            from.length = len;
            r.status = IoStatus::Ok;
            r.truncated = true;
            r.bytes = buffer.size();
            return r;
        }
        return fromLastError();
    }
    from.length = len;
    r.status = IoStatus::Ok;
    r.bytes = static_cast<size_t>(n);
    return r;
}

IoResult sendDatagram(SocketHandle s, std::span<const uint8_t> data, const SocketAddress& to) {
    const int n = ::sendto(sock(s), reinterpret_cast<const char*>(data.data()),
                           static_cast<int>(data.size()), 0, asSockaddr(to), to.length);
    if (n == SOCKET_ERROR) return fromLastError();
    IoResult r;
    r.status = IoStatus::Ok;
    r.bytes = static_cast<size_t>(n);
    return r;
}

void sendDatagramBatch(SocketHandle s, std::span<const uint8_t> data,
                       std::span<DatagramSend> destinations) {
    for (DatagramSend& d : destinations) {
        const IoResult r = sendDatagram(s, data, *d.to);
        d.sentWhole = r.status == IoStatus::Ok && r.bytes == data.size();
    }
}


int pollSockets(std::vector<PollEntry>& entries, int timeoutMs) {
    static thread_local std::vector<WSAPOLLFD> fds;
    fds.resize(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        SHORT events = 0;
        if (entries[i].events & kPollIn) events |= POLLRDNORM;
        if (entries[i].events & kPollOut) events |= POLLWRNORM;
        fds[i].fd = sock(entries[i].socket);
        fds[i].events = events;
        fds[i].revents = 0;
    }
    const int n = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
    if (n <= 0) return n == SOCKET_ERROR ? -1 : n;
    for (size_t i = 0; i < entries.size(); ++i) {
        const SHORT r = fds[i].revents;
        uint16_t out = 0;
        if (r & POLLRDNORM) out |= kPollIn;
        if (r & POLLWRNORM) out |= kPollOut;
        if (r & POLLERR) out |= kPollError;
        if (r & POLLHUP) out |= kPollHangUp;
        if (r & POLLNVAL) out |= kPollInvalid;
        entries[i].revents = out;
    }
    return n;
}

// WSAPoll is the only readiness call that covers every socket here; the server
// keeps its own set and polls it.
SocketHandle openReadinessQueue() { return kInvalidSocket; }
void closeReadinessQueue(SocketHandle) {}
bool watchSocket(SocketHandle, SocketHandle, uint16_t, uint64_t, bool) { return false; }
void unwatchSocket(SocketHandle, SocketHandle) {}
int waitReadiness(SocketHandle, std::span<ReadyEvent>, int) { return -1; }

}  // namespace karst::net
