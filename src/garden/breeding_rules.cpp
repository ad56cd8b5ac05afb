// The breeding rules. Each check is one line so the list reads like the rules.
#include "garden/breeding_rules.h"

#include "garden/pibo_messages.h"
#include "net/coding.h"

namespace karst {

namespace {

bool readyInRoom(const PiboRecord& record, const RoomKey& room, uint64_t nowSeconds) {
    return record.stage == kPiboStageHatched && record.present == 1 && record.hasState == 1 &&
           record.room == room && record.breedReadyAt <= nowSeconds;
}

}  // namespace

float squaredStateDistance(const PiboRecord& a, const PiboRecord& b) {
    float sum = 0.0f;
    for (size_t axis = 0; axis < 3; ++axis) {
        const size_t at = kPiboStateFloatsOffset + 4 * axis;
        const float d = getF32(a.lastState.data() + at) - getF32(b.lastState.data() + at);
        sum += d * d;
    }
    return sum;
}

bool mayBreed(const PiboRecord* first, const PiboRecord* second, const ProfileKey& sender,
              const RoomKey& senderRoom, uint64_t nowSeconds) {
    if (first == nullptr || second == nullptr) return false;
    if (first->owner != sender) return false;
    if (!isGardenLevel(senderRoom.level)) return false;
    if (!readyInRoom(*first, senderRoom, nowSeconds)) return false;
    if (!readyInRoom(*second, senderRoom, nowSeconds)) return false;
    if (first->owner == second->owner) return false;
    // Written so that a NaN distance fails.
    return squaredStateDistance(*first, *second) <= kMaxBreedingDistanceSquared;
}

}  // namespace karst
