// The round-robin send schedule.
#include "bots/send_schedule.h"

namespace karst::bots {

CyclicSchedule::CyclicSchedule(uint32_t participants, uint64_t intervalNs, uint64_t startNs)
    : participants_(participants), intervalNs_(intervalNs), startNs_(startNs) {}

uint64_t CyclicSchedule::nextDueNs() const {
    if (participants_ == 0 || intervalNs_ == 0) return kNever;
    const uint64_t offset = intervalNs_ * cursor_ / participants_;
    return startNs_ + round_ * intervalNs_ + offset;
}

void CyclicSchedule::advance() {
    if (participants_ == 0) return;
    if (++cursor_ == participants_) {
        cursor_ = 0;
        ++round_;
    }
}

uint64_t CyclicSchedule::skipMissedRounds(uint64_t nowNs) {
    const uint64_t due = nextDueNs();
    if (due == kNever || nowNs < due || nowNs - due < intervalNs_) return 0;
    const uint64_t rounds = (nowNs - due) / intervalNs_;
    round_ += rounds;
    return rounds * participants_;
}

}  // namespace karst::bots
