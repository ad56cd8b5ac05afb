// The event loop's watched sockets: each added once, changed only when what it
// waits for changes, removed when closed.
//
// Under a readiness queue (epoll on Linux) a wait costs the ready sockets only,
// however many are connected. Under poll (Windows, or when asked, to compare)
// the set is kept here and every wait walks all of it. Either way a wait yields
// the ready sockets by the token they were added with.
#pragma once

#include <cstdint>
#include <span>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "net/socket.h"

namespace karst::net {

class Poller {
public:
    enum class Kind { Readiness, Poll };

    Poller() = default;
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Starts with the kind asked for, or with poll where the system has no
    // readiness queue. Returns the kind in use.
    Kind open(Kind wanted);
    void close();
    bool isOpen() const { return open_; }
    Kind kind() const { return queue_ == kInvalidSocket ? Kind::Poll : Kind::Readiness; }

    // False when the socket cannot be watched (a regular file under epoll) or
    // the poller is not open.
    bool add(SocketHandle s, uint16_t events, uint64_t token);
    // Changes what a watched socket waits for. False when the system refuses or
    // the socket is not watched here, and then it waits for what it did before;
    // `error`, when given, says why.
    bool modify(SocketHandle s, uint16_t events, uint64_t token);
    bool modify(SocketHandle s, uint16_t events, uint64_t token, std::error_code& error);
    void remove(SocketHandle s);

    // Waits up to `timeoutMs`; negative on failure, else the number of ready
    // sockets, which ready() then lists. On failure `error`, when given, says
    // why; an interrupted wait compares equal to std::errc::interrupted.
    int wait(int timeoutMs);
    int wait(int timeoutMs, std::error_code& error);
    std::span<const ReadyEvent> ready() const { return {ready_.data(), readyCount_}; }

private:
    bool open_ = false;
    SocketHandle queue_ = kInvalidSocket;
    size_t watched_ = 0;
    std::vector<ReadyEvent> ready_;
    size_t readyCount_ = 0;
    // The poll emulation: entries and their tokens side by side, found by socket.
    std::vector<PollEntry> entries_;
    std::vector<uint64_t> tokens_;
    std::unordered_map<SocketHandle, size_t> slots_;
};

}  // namespace karst::net
