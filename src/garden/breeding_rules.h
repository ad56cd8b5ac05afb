// Whether two creatures may breed: every rule about the pair, its owners, its
// room, its cooldown and its distance, judged from the records alone.
//
// Times are wall-clock seconds since 1970-01-01 UTC; positions are the first
// three floats of each creature's last accepted state, in game units.
#pragma once

#include "game/room_key.h"
#include "garden/pibo_store.h"
#include "store/profile_key.h"

#include <cstdint>

namespace karst {

inline constexpr uint64_t kBreedingCooldownSeconds = 1800;
// 12 units, compared squared in single precision.
inline constexpr float kMaxBreedingDistanceSquared = 144.0f;

// Squared distance between the positions of two last states; NaN stays NaN.
float squaredStateDistance(const PiboRecord& a, const PiboRecord& b);

// `first` and `second` may be null (no such record), which never breeds.
bool mayBreed(const PiboRecord* first, const PiboRecord* second, const ProfileKey& sender,
              const RoomKey& senderRoom, uint64_t nowSeconds);

}  // namespace karst
