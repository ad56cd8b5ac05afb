// The promise behind every store the server writes: what it holds in memory
// encodes to a file that loads again, whole and unchanged. A record that breaks
// it would make the next start-up reject the file and set every player's rings,
// fruit and creatures aside.
#pragma once

#include "garden/pibo_store.h"
#include "store/profile_store.h"

namespace karst::fuzz {

// Each aborts through fail() when the table does not survive encode and decode.
void checkProfileRoundTrip(const ProfileTable& table);
void checkPiboRoundTrip(std::span<const PiboRecord> records, uint64_t nextPiboId);

}  // namespace karst::fuzz
