// The promise behind every store the server writes: what it holds in memory
// encodes to a file that loads again, whole and unchanged. A record that breaks
// it would make the next start-up reject the file and set every player's rings,
// fruit and creatures aside.
#pragma once

#include <filesystem>
#include <span>
#include <string_view>

#include "fuzz_support.h"
#include "garden/pibo_store.h"
#include "store/profile_store.h"

namespace karst::fuzz {

// Loads `bytes` from the scratch file `name` with a `Store`: loading must agree
// with decoding (`decodedLoaded`), a loaded store passes `checkLoaded`, and a
// refused file must be moved aside, never left where a save would overwrite it.
template <class Store, class Check>
void checkFileLoad(std::string_view name, std::span<const uint8_t> bytes, bool decodedLoaded,
                   Check checkLoaded) {
    removeScratchFiles();
    const std::string path = scratchFile(name);
    writeWholeFile(path, bytes);
    Store store(path);
    const bool loaded = store.load();
    if (loaded != decodedLoaded) fail("loading the file and decoding its bytes disagree");
    if (loaded) checkLoaded(store);
    if (!loaded && std::filesystem::exists(path)) fail("a rejected store was left in place");
}

// Each aborts through fail() when the table does not survive encode and decode.
void checkProfileRoundTrip(const ProfileTable& table);
void checkPiboRoundTrip(std::span<const PiboRecord> records, uint64_t nextPiboId);

}  // namespace karst::fuzz
