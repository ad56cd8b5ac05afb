// The per-room presence lists; a room's entry goes when its last creature leaves.
#include "garden/pibo_presence.h"

#include <algorithm>

namespace karst {

void PiboPresence::add(const RoomKey& room, size_t position) {
    std::vector<size_t>& positions = rooms_[room];
    const auto at = std::lower_bound(positions.begin(), positions.end(), position);
    if (at == positions.end() || *at != position) positions.insert(at, position);
}

void PiboPresence::remove(const RoomKey& room, size_t position) {
    const auto it = rooms_.find(room);
    if (it == rooms_.end()) return;
    std::vector<size_t>& positions = it->second;
    const auto at = std::lower_bound(positions.begin(), positions.end(), position);
    if (at != positions.end() && *at == position) positions.erase(at);
    if (positions.empty()) rooms_.erase(it);
}

std::span<const size_t> PiboPresence::inRoom(const RoomKey& room) const {
    const auto it = rooms_.find(room);
    if (it == rooms_.end()) return {};
    return it->second;
}

}  // namespace karst
