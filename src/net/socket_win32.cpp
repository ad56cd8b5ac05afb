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

namespace {

// What the common steps in socket_common.inc call the system's handle and
// address length, and how they accept and judge a failed accept here.
SOCKET native(SocketHandle s) { return static_cast<SOCKET>(s); }
using AddressLength = int;

IoResult fromLastError() {
    IoResult r;
    r.status = WSAGetLastError() == WSAEWOULDBLOCK ? IoStatus::WouldBlock : IoStatus::Failed;
    return r;
}

SocketHandle acceptNative(SocketHandle listener, sockaddr_storage& ss, AddressLength& len) {
    const SOCKET s = ::accept(native(listener), reinterpret_cast<sockaddr*>(&ss), &len);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}

AcceptOutcome acceptFailure() {
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return AcceptOutcome::NothingPending;
    if (error == WSAEMFILE || error == WSAENOBUFS) return AcceptOutcome::OutOfResources;
    return AcceptOutcome::Failed;
}

// getaddrinfo returns a Winsock error code, which the system describes itself.
std::error_code resolverError(int result) { return std::error_code(result, std::system_category()); }

}  // namespace

#include "net/socket_common.inc"

bool startSocketLibrary() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void stopSocketLibrary() { WSACleanup(); }

std::error_code lastSocketError() {
    const int error = WSAGetLastError();
    // So that callers test for an interruption the same way on every platform.
    if (error == WSAEINTR) return std::make_error_code(std::errc::interrupted);
    return std::error_code(error, std::system_category());
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
    if (s != kInvalidSocket) ::closesocket(native(s));
}

// A restarted server rebinds its port by default on Windows; SO_REUSEADDR would
// additionally let a second server bind the port a running one holds.
bool setReuseAddress(SocketHandle) { return true; }

bool setNonBlocking(SocketHandle s) {
    u_long one = 1;
    return ::ioctlsocket(native(s), FIONBIO, &one) == 0;
}

bool setNoDelay(SocketHandle s) {
    const BOOL one = TRUE;
    return ::setsockopt(native(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
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
    return WSAIoctl(native(s), SIO_KEEPALIVE_VALS, &settings, sizeof settings, nullptr, 0, &returned,
                    nullptr, nullptr) == 0;
}

bool setBufferSizes(SocketHandle s, int bytes) {
    const char* value = reinterpret_cast<const char*>(&bytes);
    const bool received = ::setsockopt(native(s), SOL_SOCKET, SO_RCVBUF, value, sizeof bytes) == 0;
    const bool sent = ::setsockopt(native(s), SOL_SOCKET, SO_SNDBUF, value, sizeof bytes) == 0;
    return received && sent;
}

// Winsock sockets are kernel handles, not C runtime descriptors: no per-process
// limit applies to them beyond memory.
uint64_t raiseDescriptorLimit(uint64_t wanted) { return wanted; }

// The Windows heap hands blocks this large to VirtualAlloc and back on its own.
void returnLargeBlocksWhenFreed() {}

IoResult receiveBytes(SocketHandle s, std::span<uint8_t> buffer) {
    const int n = ::recv(native(s), reinterpret_cast<char*>(buffer.data()),
                         static_cast<int>(buffer.size()), 0);
    return n == SOCKET_ERROR ? fromLastError() : streamResult(static_cast<size_t>(n));
}

IoResult sendBytes(SocketHandle s, std::span<const uint8_t> data) {
    const int n = ::send(native(s), reinterpret_cast<const char*>(data.data()),
                         static_cast<int>(data.size()), 0);
    return n == SOCKET_ERROR ? fromLastError() : streamResult(static_cast<size_t>(n));
}

IoResult receiveDatagram(SocketHandle s, std::span<uint8_t> buffer, SocketAddress& from) {
    int len = static_cast<int>(kSocketAddressStorage);
    const int n = ::recvfrom(native(s), reinterpret_cast<char*>(buffer.data()),
                             static_cast<int>(buffer.size()), 0,
                             reinterpret_cast<sockaddr*>(from.storage.data()), &len);
    // Winsock reports a datagram longer than the buffer as WSAEMSGSIZE: the
    // datagram is consumed and its tail lost.
    const bool truncated = n == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE;
    if (n == SOCKET_ERROR && !truncated) return fromLastError();
    from.length = len;
    return datagramResult(truncated ? buffer.size() : static_cast<size_t>(n), truncated);
}

IoResult sendDatagram(SocketHandle s, std::span<const uint8_t> data, const SocketAddress& to) {
    const int n = ::sendto(native(s), reinterpret_cast<const char*>(data.data()),
                           static_cast<int>(data.size()), 0, asSockaddr(to), to.length);
    return n == SOCKET_ERROR ? fromLastError() : datagramResult(static_cast<size_t>(n));
}

void sendDatagramBatch(SocketHandle s, std::span<const uint8_t> data,
                       std::span<DatagramSend> destinations) {
    sendDatagramsOneByOne(s, data, destinations);
}


int pollSockets(std::vector<PollEntry>& entries, int timeoutMs) {
    static thread_local std::vector<WSAPOLLFD> fds;
    fds.resize(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        SHORT events = 0;
        if (entries[i].events & kPollIn) events |= POLLRDNORM;
        if (entries[i].events & kPollOut) events |= POLLWRNORM;
        fds[i].fd = native(entries[i].socket);
        fds[i].events = events;
        fds[i].revents = 0;
    }
    const int n = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
    if (n <= 0) return n == SOCKET_ERROR ? -1 : n;
    for (size_t i = 0; i < entries.size(); ++i)
        entries[i].revents = pollFlagsFrom(fds[i].revents, POLLRDNORM, POLLWRNORM);
    return n;
}

// WSAPoll is the only readiness call that covers every socket here, so the
// readiness queue is the one socket_common.inc gives systems without epoll.

}  // namespace karst::net
