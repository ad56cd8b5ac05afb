// When each bot sends: every one of N participants acts once per interval, and
// participant k is offset by k/N of the interval, so the load is spread evenly
// over time instead of arriving in one burst per round.
//
// Times are nanoseconds on the tool's own clock. Participants are served in
// index order, so finding the next one due costs O(1) and needs no heap.
#pragma once

#include <cstdint>
#include <limits>

namespace karst::bots {

class CyclicSchedule {
public:
    static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

    CyclicSchedule() = default;
    CyclicSchedule(uint32_t participants, uint64_t intervalNs, uint64_t startNs)
        : participants_(participants), intervalNs_(intervalNs), startNs_(startNs) {}

    // kNever when there is nobody to serve.
    uint64_t nextDueNs() const {
        if (participants_ == 0 || intervalNs_ == 0) return kNever;
        return startNs_ + round_ * intervalNs_ + intervalNs_ * cursor_ / participants_;
    }
    uint32_t nextParticipant() const { return cursor_; }
    void advance() {
        if (participants_ != 0 && ++cursor_ == participants_) {
            cursor_ = 0;
            ++round_;
        }
    }
    // When the next slot is more than a whole interval late, drops whole rounds so
    // that a stalled sender resumes the normal pace instead of firing a burst.
    // Returns the number of slots dropped.
    uint64_t skipMissedRounds(uint64_t nowNs) {
        const uint64_t due = nextDueNs();
        if (due == kNever || nowNs < due || nowNs - due < intervalNs_) return 0;
        const uint64_t rounds = (nowNs - due) / intervalNs_;
        round_ += rounds;
        return rounds * participants_;
    }

private:
    uint32_t participants_ = 0;
    uint64_t intervalNs_ = 0;
    uint64_t startNs_ = 0;
    uint64_t round_ = 0;
    uint32_t cursor_ = 0;
};

}  // namespace karst::bots
