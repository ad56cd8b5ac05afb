// The sibling egg builder. The mixing draws come from MT19937-64 with its
// standard seeding, so clients and tools can reproduce an egg from its id and time.
#include "garden/pibo_egg.h"

#include <algorithm>
#include <random>

namespace karst {

static_assert(kInheritedBlockOffset + kInheritedBlockSize <= kPiboDataSize);
static_assert(kSiblingEggName.size() < kPiboNameSize);

PiboRecord makeSiblingEgg(uint64_t eggId, const ProfileKey& owner, const PiboRecord& ownParent,
                          const PiboRecord& otherParent, uint64_t parentAId, uint64_t parentBId,
                          uint64_t nowSeconds) {
    PiboRecord egg = makeFreshPiboRecord(eggId, owner);
    std::mt19937_64 draws(eggId ^ nowSeconds);
    for (size_t k = 0; k < kInheritedBlockSize; ++k) {
        const size_t at = kInheritedBlockOffset + k;
        egg.data[at] = (draws() & 1) != 0 ? ownParent.data[at] : otherParent.data[at];
    }
    egg.data[kPiboTypeOffset] = kPiboTypeEgg;
    egg.data[kPiboCopiedByteOffset] = ownParent.data[kPiboCopiedByteOffset];

    egg.stage = kPiboStageEgg;
    std::copy(kSiblingEggName.begin(), kSiblingEggName.end(), egg.name.begin());
    egg.parentA = parentAId;
    egg.parentB = parentBId;
    egg.pendingDelivery = 1;
    return egg;
}

}  // namespace karst
