#include "net/poller.h"

#include <algorithm>

namespace karst::net {

namespace {
// One wait takes at most this many ready sockets; level-triggered readiness
// reports the rest again at the next wait, so nothing is lost.
constexpr size_t kMaxReadyPerWait = 16384;
constexpr size_t kMinReadyBuffer = 64;
}  // namespace

Poller::~Poller() { close(); }

Poller::Kind Poller::open(Kind wanted) {
    close();
    if (wanted == Kind::Readiness) queue_ = openReadinessQueue();
    open_ = true;
    return kind();
}

void Poller::close() {
    if (queue_ != kInvalidSocket) closeReadinessQueue(queue_);
    queue_ = kInvalidSocket;
    open_ = false;
    watched_ = 0;
    entries_.clear();
    tokens_.clear();
    slots_.clear();
    readyCount_ = 0;
}

bool Poller::add(SocketHandle s, uint16_t events, uint64_t token) {
    if (!open_) return false;
    if (queue_ != kInvalidSocket) {
        if (!watchSocket(queue_, s, events, token, true)) return false;
        ++watched_;
        return true;
    }
    if (slots_.count(s) != 0) return false;
    slots_[s] = entries_.size();
    entries_.push_back(PollEntry{s, events, 0});
    tokens_.push_back(token);
    return true;
}

bool Poller::modify(SocketHandle s, uint16_t events, uint64_t token) {
    std::error_code ignored;
    return modify(s, events, token, ignored);
}

bool Poller::modify(SocketHandle s, uint16_t events, uint64_t token, std::error_code& error) {
    error.clear();
    if (!open_) {
        error = std::make_error_code(std::errc::bad_file_descriptor);
        return false;
    }
    if (queue_ != kInvalidSocket) {
        if (watchSocket(queue_, s, events, token, false)) return true;
        error = lastSocketError();
        return false;
    }
    const auto it = slots_.find(s);
    if (it == slots_.end()) {
        // What epoll says of a socket it does not watch, so both kinds read alike.
        error = std::make_error_code(std::errc::no_such_file_or_directory);
        return false;
    }
    entries_[it->second].events = events;
    tokens_[it->second] = token;
    return true;
}

void Poller::remove(SocketHandle s) {
    if (!open_) return;
    if (queue_ != kInvalidSocket) {
        // The system forgets a closed socket on its own; this keeps the count right.
        unwatchSocket(queue_, s);
        if (watched_ > 0) --watched_;
        return;
    }
    const auto it = slots_.find(s);
    if (it == slots_.end()) return;
    const size_t slot = it->second;
    slots_.erase(it);
    if (slot + 1 != entries_.size()) {
        entries_[slot] = entries_.back();
        tokens_[slot] = tokens_.back();
        slots_[entries_[slot].socket] = slot;
    }
    entries_.pop_back();
    tokens_.pop_back();
}

int Poller::wait(int timeoutMs) {
    std::error_code ignored;
    return wait(timeoutMs, ignored);
}

int Poller::wait(int timeoutMs, std::error_code& error) {
    error.clear();
    readyCount_ = 0;
    if (queue_ != kInvalidSocket) {
        ready_.resize(std::clamp(watched_ + 1, kMinReadyBuffer, kMaxReadyPerWait));
        const int n = waitReadiness(queue_, ready_, timeoutMs);
        if (n < 0) error = lastSocketError();
        if (n > 0) readyCount_ = static_cast<size_t>(n);
        return n;
    }
    const int n = pollSockets(entries_, timeoutMs);
    if (n < 0) error = lastSocketError();
    if (n <= 0) return n;
    ready_.resize(std::max(ready_.size(), entries_.size()));
    for (size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].revents != 0) ready_[readyCount_++] = ReadyEvent{tokens_[i], entries_[i].revents};
    return static_cast<int>(readyCount_);
}

}  // namespace karst::net
