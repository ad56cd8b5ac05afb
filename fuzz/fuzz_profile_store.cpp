// Fuzz target: any bytes as the profile store, decoded in memory and loaded
// from a file; what loads must survive a save and a reload unchanged.
#include "fuzz_support.h"
#include "store/profile_store.h"
#include "store_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace karst;
    using namespace karst::fuzz;
    const std::span<const uint8_t> bytes(data, size);
    const DecodedProfileStore decoded = decodeProfileStore(bytes);
    const size_t headerSize = std::min(size, kProfileHeaderSize);
    if (decoded.status == ProfileStoreStatus::Loaded &&
        checkProfileStoreShape(bytes.first(headerSize), size) != ProfileStoreStatus::Loaded)
        fail("decoded a store whose shape is rejected");
    if (decoded.status != ProfileStoreStatus::Loaded && !decoded.table.empty())
        fail("a rejected store kept records");
    if (decoded.status == ProfileStoreStatus::Loaded) checkProfileRoundTrip(decoded.table);

    // The file path reads the header first and judges the size before reading on.
    checkFileLoad<ProfileStore>("karst-profile-store.bin", bytes,
                                decoded.status == ProfileStoreStatus::Loaded,
                                [&](const ProfileStore& store) {
        if (store.records() != decoded.table) fail("the file loaded other records");
    });
    return 0;
}
