// Which creatures are present in which room, as positions in the Pibo table.
//
// The table keeps insertion order and never deletes, so a record's position is
// stable for the life of the server (the store is loaded once, before anything
// is present). Positions are kept ascending per room, so walking a room visits
// its creatures in table order, as a scan of the whole table would, while costing
// only the room's own creatures.
#pragma once

#include "game/room_key.h"

#include <cstddef>
#include <span>
#include <unordered_map>
#include <vector>

namespace karst {

class PiboPresence {
public:
    // Adding a position already listed for the room changes nothing.
    void add(const RoomKey& room, size_t position);
    // Removing a position not listed for the room changes nothing.
    void remove(const RoomKey& room, size_t position);
    // Ascending; valid until the next add or remove.
    std::span<const size_t> inRoom(const RoomKey& room) const;
    size_t roomCount() const { return rooms_.size(); }

private:
    std::unordered_map<RoomKey, std::vector<size_t>, RoomKeyHash> rooms_;
};

}  // namespace karst
