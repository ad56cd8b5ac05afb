// The egg that breeding gives each parent's owner: a waiting record whose
// creature data mixes a fixed block of both parents' data. Stateless, so the
// same egg id and request time always yield the same egg.
#pragma once

#include "garden/pibo_store.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace karst {

inline constexpr std::string_view kSiblingEggName = "Sibling Egg";
// PiboData bytes 1080..1243 come from one parent or the other, byte by byte.
inline constexpr size_t kInheritedBlockOffset = 1080;
inline constexpr size_t kInheritedBlockSize = 164;
// PiboData byte 129 is copied from the egg owner's own parent.
inline constexpr size_t kPiboCopiedByteOffset = 129;

// Builds (does not insert) the egg for `owner`, whose creature `ownParent` bred
// with `otherParent`. parentAId/parentBId are the request's ids, in request order
// for both eggs; nowSeconds is the wall-clock time of the request.
PiboRecord makeSiblingEgg(uint64_t eggId, const ProfileKey& owner, const PiboRecord& ownParent,
                          const PiboRecord& otherParent, uint64_t parentAId, uint64_t parentBId,
                          uint64_t nowSeconds);

}  // namespace karst
