// Connections by player id, looked up for every ready socket and every queue
// written in a pass. One flat array probed in order from the id's hash: a
// lookup touches one or two cache lines, where a node-based map follows a
// bucket pointer and then a node for each.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace karst {

template <typename T>
class PlayerIndex {
public:
    T* find(uint32_t id) const {
        if (slots_.empty()) return nullptr;
        for (size_t i = home(id);; i = next(i)) {
            if (!slots_[i].value) return nullptr;
            if (slots_[i].id == id) return slots_[i].value;
        }
    }

    // Adds or replaces; `value` is never null (an empty slot is one without it).
    void insert(uint32_t id, T* value) {
        if (2 * (size_ + 1) > slots_.size()) grow();
        size_t i = home(id);
        for (; slots_[i].value; i = next(i)) {
            if (slots_[i].id == id) {
                slots_[i].value = value;
                return;
            }
        }
        slots_[i] = {id, value};
        ++size_;
    }

    void erase(uint32_t id) {
        if (slots_.empty()) return;
        size_t hole = home(id);
        for (; slots_[hole].id != id || !slots_[hole].value; hole = next(hole))
            if (!slots_[hole].value) return;
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
    }

    size_t size() const { return size_; }

private:
    struct Slot {
        uint32_t id = 0;
        T* value = nullptr;
    };

    size_t home(uint32_t id) const {
        // Fibonacci hashing: consecutive ids, the usual case, land far apart.
        return static_cast<size_t>((uint64_t{id} * 0x9E3779B97F4A7C15u) >> (64 - bits_));
    }
    size_t next(size_t i) const { return (i + 1) & (slots_.size() - 1); }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        const size_t capacity = old.empty() ? 64 : 2 * old.size();
        slots_.assign(capacity, Slot{});
        bits_ = std::countr_zero(capacity);
        size_ = 0;
        for (const Slot& slot : old)
            if (slot.value) insert(slot.id, slot.value);
    }

    std::vector<Slot> slots_;
    int bits_ = 0;
    size_t size_ = 0;
};

}  // namespace karst
