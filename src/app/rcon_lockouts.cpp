#include "app/rcon_lockouts.h"

#include <iterator>

namespace karst {

namespace {

bool stillLocked(bool isLocked, uint64_t lockedAtNs, uint64_t now) {
    return isLocked && !elapsedAtLeast(now, lockedAtNs, kRconLockoutNs);
}

}  // namespace

bool RconLockouts::locked(const net::IpAddress& address, uint64_t now) const {
    const auto it = entries_.find(address);
    return it != entries_.end() && stillLocked(it->second.isLocked, it->second.lockedAtNs, now);
}

bool RconLockouts::noteFailure(const net::IpAddress& address, uint64_t now) {
    auto it = entries_.find(address);
    if (it == entries_.end()) {
        makeRoom(now);
        it = entries_.emplace(address, Entry{}).first;
    }
    Entry& entry = it->second;
    if (stillLocked(entry.isLocked, entry.lockedAtNs, now)) return false;
    // A served lockout, or failures spread wider than a period, start a new count.
    if (entry.isLocked || (entry.failures != 0 && elapsedAtLeast(now, entry.firstFailureNs, kRconLockoutNs)))
        entry = Entry{};
    if (entry.failures == 0) entry.firstFailureNs = now;
    if (++entry.failures < kRconFailuresBeforeLockout) return false;
    entry.isLocked = true;
    entry.lockedAtNs = now;
    return true;
}

void RconLockouts::makeRoom(uint64_t now) {
    if (entries_.size() < kMaxRconLockoutEntries) return;
    std::erase_if(entries_, [&](const auto& item) {
        const Entry& e = item.second;
        return !stillLocked(e.isLocked, e.lockedAtNs, now) &&
               elapsedAtLeast(now, e.firstFailureNs, kRconLockoutNs);
    });
    // Every entry is recent: an address spraying failures must not grow the map,
    // so the oldest one goes.
    if (entries_.size() >= kMaxRconLockoutEntries) {
        auto oldest = entries_.begin();
        for (auto it = std::next(entries_.begin()); it != entries_.end(); ++it)
            if (it->second.firstFailureNs < oldest->second.firstFailureNs) oldest = it;
        entries_.erase(oldest);
    }
}

}  // namespace karst
