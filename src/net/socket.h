// The thin platform layer: every socket call the server makes goes through here.
//
// One implementation per platform is compiled: socket_posix.cpp (Linux and other
// POSIX systems) or socket_win32.cpp (Winsock 2). The layer normalises what differs
// between them: handle types, would-block and interrupted calls, SIGPIPE on send,
// and datagrams that do not fit the read buffer. The layer's other parts are
// net/console_input.h (standard input) and net/files.h (safe file replacement),
// each with the same two implementations. Nothing outside the *_posix.cpp and
// *_win32.cpp files (and win32_api.h, which only they include) includes a
// platform header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "net/ip_address.h"

namespace karst::net {

using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~static_cast<SocketHandle>(0);

inline constexpr size_t kSocketAddressStorage = 128;

// A socket address in the platform's own layout, kept as opaque bytes.
struct SocketAddress {
    std::array<uint8_t, kSocketAddressStorage> storage{};
    int32_t length = 0;
};

enum class SocketType { Stream, Datagram };

struct ResolvedAddress {
    int family = 0;
    int socketType = 0;
    int protocol = 0;
    SocketAddress address;
};

// Starts and stops the socket library (WSAStartup/WSACleanup on Windows); on
// POSIX start also makes writes to a closed peer fail instead of raising SIGPIPE.
bool startSocketLibrary();
void stopSocketLibrary();

// getaddrinfo: `node` empty means no node (any local address when passive).
// Returns the addresses in the resolver's order; empty when resolution fails,
// and then `error` holds the resolver's reason (gai_strerror's text on POSIX,
// Winsock's on Windows).
std::vector<ResolvedAddress> resolveAddresses(const std::string& node, uint16_t port,
                                              SocketType type, bool passive,
                                              std::error_code& error);
// The same, with the reason as text, when `failure` is given.
std::vector<ResolvedAddress> resolveAddresses(const std::string& node, uint16_t port,
                                              SocketType type, bool passive,
                                              std::string* failure = nullptr);

// The system's reason for the last failed socket call on this thread. An
// interrupted call compares equal to std::errc::interrupted on every platform.
std::error_code lastSocketError();
// Its words ("Address already in use"), for console lines.
std::string lastSocketErrorText();

SocketHandle openSocket(int family, int socketType, int protocol);
void closeSocket(SocketHandle s);
bool setReuseAddress(SocketHandle s);
bool bindSocket(SocketHandle s, const SocketAddress& address);
bool listenSocket(SocketHandle s);
bool connectSocket(SocketHandle s, const SocketAddress& address);
bool setNonBlocking(SocketHandle s);
bool setNoDelay(SocketHandle s);
// Lets the operating system detect a peer that vanished without closing.
bool setKeepAlive(SocketHandle s, int idleSeconds, int intervalSeconds, int probes);
// Asks for larger kernel buffers (the system may cap them); false if refused.
bool setBufferSizes(SocketHandle s, int bytes);
// The local port a socket is bound to, 0 when unknown.
uint16_t localPort(SocketHandle s);

// Accepts one pending connection; kInvalidSocket when none is pending or on error.
SocketHandle acceptConnection(SocketHandle listener);

enum class AcceptOutcome {
    Accepted,
    NothingPending,
    // Out of descriptors or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM): the
    // connection stays pending, and retrying at once only spins.
    OutOfResources,
    Failed,
};
// The same, saying why nothing was accepted.
// `peer`, when given, receives the remote address.
SocketHandle acceptConnection(SocketHandle listener, AcceptOutcome& outcome, SocketAddress* peer = nullptr);

// Raises the process's soft limit on open descriptors, which every socket
// counts against, towards `wanted` (never above the hard limit, never lowered).
// Returns the limit then in force; where sockets have no such limit (Windows),
// `wanted` itself.
uint64_t raiseDescriptorLimit(uint64_t wanted);

// Large blocks (send queues of players who stopped reading) go back to the
// system as soon as they are freed, instead of staying in the allocator's heap,
// so resident memory follows the send budget rather than its history.
void returnLargeBlocksWhenFreed();

enum class IoStatus { Ok, WouldBlock, Closed, Failed };

struct IoResult {
    IoStatus status = IoStatus::Failed;
    size_t bytes = 0;
    // For datagrams: the datagram was longer than the buffer and lost its tail.
    bool truncated = false;
};

IoResult receiveBytes(SocketHandle s, std::span<uint8_t> buffer);
IoResult sendBytes(SocketHandle s, std::span<const uint8_t> data);
IoResult receiveDatagram(SocketHandle s, std::span<uint8_t> buffer, SocketAddress& from);
IoResult sendDatagram(SocketHandle s, std::span<const uint8_t> data, const SocketAddress& to);

// One datagram of a batch: the same bytes may go to many addresses.
struct DatagramSend {
    const SocketAddress* to = nullptr;
    bool sentWhole = false;
};
// Sends `data` to every destination in as few system calls as the platform
// allows, recording per destination whether the whole datagram left.
void sendDatagramBatch(SocketHandle s, std::span<const uint8_t> data,
                       std::span<DatagramSend> destinations);

// Same family, port and address (IPv4 or IPv6); flow and scope are not compared.
bool sameEndpoint(const SocketAddress& a, const SocketAddress& b);
// "127.0.0.1:27015" or "[::1]:27015", for console lines and tests.
std::string formatEndpoint(const SocketAddress& address);
// The IP address of an IPv4 or IPv6 endpoint (an IPv4-mapped IPv6 address as
// IPv4); an all-zero IPv4 address for any other family.
IpAddress endpointIpAddress(const SocketAddress& address);

// Poll events, independent of the platform's constants.
enum PollEvent : uint16_t {
    kPollIn = 1u << 0,
    kPollOut = 1u << 1,
    kPollError = 1u << 2,
    kPollHangUp = 1u << 3,
    kPollInvalid = 1u << 4,
};

struct PollEntry {
    SocketHandle socket = kInvalidSocket;
    uint16_t events = 0;
    uint16_t revents = 0;
};

// Waits up to `timeoutMs` for any entry to become ready. Returns the number of
// ready entries, 0 on timeout, negative on failure (an interrupted wait
// included; lastSocketError() tells which).
int pollSockets(std::vector<PollEntry>& entries, int timeoutMs);

// A readiness queue that keeps its sockets between waits and reports only the
// ready ones (epoll on Linux). Where the system has none, openReadinessQueue
// returns kInvalidSocket and callers poll instead.
struct ReadyEvent {
    uint64_t token = 0;  // the caller's name for the socket
    uint16_t events = 0;
};
SocketHandle openReadinessQueue();
void closeReadinessQueue(SocketHandle queue);
// Adds the socket (`add`) or changes what it is watched for; false when the
// system refuses (a regular file, for instance), and lastSocketError() says why.
bool watchSocket(SocketHandle queue, SocketHandle s, uint16_t events, uint64_t token, bool add);
void unwatchSocket(SocketHandle queue, SocketHandle s);
// Waits up to `timeoutMs`; fills the front of `ready`. Returns the number filled,
// 0 on timeout, negative on failure (lastSocketError() says why).
int waitReadiness(SocketHandle queue, std::span<ReadyEvent> ready, int timeoutMs);

}  // namespace karst::net
