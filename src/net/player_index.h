// Connections by player id, looked up for every ready socket and every queue
// written in a pass. One flat array probed in order from the id: a lookup
// touches one slot, where a node-based map follows a bucket and then a node.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace karst {

template <typename T>
class PlayerIndex {
public:
    T* find(uint32_t id) const {
        const size_t at = slotOf(id);
        return at == kNone ? nullptr : slots_[at].value;
    }

    // Adds or replaces; `value` is never null (an empty slot is one without it).
    void insert(uint32_t id, T* value) {
        if (2 * (size_ + 1) > slots_.size()) grow();
        size_t i = home(id);
        size_t distance = 0;
        for (; slots_[i].value; i = next(i), ++distance) {
            if (slots_[i].id == id) {
                slots_[i].value = value;
                return;
            }
        }
        slots_[i] = {id, value};
        ++size_;
        longestProbe_ = std::max(longestProbe_, distance);
    }

    void erase(uint32_t id) {
        size_t hole = slotOf(id);
        if (hole == kNone) return;
        // Moves back each later entry of the run that may no longer be reached
        // past the hole, so no marker for removed entries is ever needed.
        for (size_t i = next(hole); slots_[i].value; i = next(i)) {
            const size_t want = home(slots_[i].id);
            const bool reachable = hole < i ? (want > hole && want <= i) : (want > hole || want <= i);
            if (reachable) continue;
            slots_[hole] = slots_[i];
            hole = i;
        }
        slots_[hole] = {};
        --size_;
    }

    void clear() {
        slots_.clear();
        size_ = 0;
        longestProbe_ = 0;
    }

    size_t size() const { return size_; }

private:
    static constexpr size_t kNone = ~size_t{0};

    struct Slot {
        uint32_t id = 0;
        T* value = nullptr;
    };

    size_t home(uint32_t id) const {
        // The id itself: ids are handed out in increasing order and a pass visits
        // them sorted, so it walks the array forwards, which the processor
        // prefetches. Ids that stay while many later ones come and go spread
        // out as the table grows.
        return id & (slots_.size() - 1);
    }
    size_t next(size_t i) const { return (i + 1) & (slots_.size() - 1); }

    // Consecutive ids fill long runs of slots, so a search for an id that is
    // not there (a stale id, or any id a datagram names) stops after the
    // longest distance any entry was ever placed from its home, not at the end
    // of the run. Moving entries back on removal only shortens distances.
    size_t slotOf(uint32_t id) const {
        if (slots_.empty()) return kNone;
        size_t i = home(id);
        for (size_t distance = 0; distance <= longestProbe_ && slots_[i].value; ++distance, i = next(i))
            if (slots_[i].id == id) return i;
        return kNone;
    }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        const size_t capacity = old.empty() ? 64 : 2 * old.size();
        slots_.assign(capacity, Slot{});
        size_ = 0;
        longestProbe_ = 0;
        for (const Slot& slot : old)
            if (slot.value) insert(slot.id, slot.value);
    }

    std::vector<Slot> slots_;
    size_t size_ = 0;
    size_t longestProbe_ = 0;
};

}  // namespace karst
