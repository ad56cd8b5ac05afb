#include "net/query_rate_limit.h"

namespace karst {

bool QueryRateLimit::allow(const net::IpAddress& address, uint64_t nowNs) {
    auto found = windows_.find(address);
    if (found == windows_.end()) {
        if (windows_.size() >= kMaxQueryRateAddresses) sweep(nowNs);
        if (windows_.size() >= kMaxQueryRateAddresses) return false;
        windows_.emplace(address, Window{nowNs, 1});
        return true;
    }
    Window& window = found->second;
    if (elapsedAtLeast(nowNs, window.startNs, kQueryRateWindowNs)) window = Window{nowNs, 0};
    if (window.replies >= kQueryRepliesPerWindow) return false;
    ++window.replies;
    return true;
}

void QueryRateLimit::sweep(uint64_t nowNs) {
    if (!elapsedAtLeast(nowNs, nextSweepNs_, 0)) return;
    uint64_t oldestStart = nowNs;
    std::erase_if(windows_, [&](const auto& entry) {
        const uint64_t start = entry.second.startNs;
        if (elapsedAtLeast(nowNs, start, kQueryRateWindowNs)) return true;
        if (elapsedAtLeast(oldestStart, start, 0)) oldestStart = start;
        return false;
    });
    // Windows only ever start later than the ones kept here.
    nextSweepNs_ = oldestStart + kQueryRateWindowNs;
}

}  // namespace karst
