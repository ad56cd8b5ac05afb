// Fuzz target: any bytes as the profile store, decoded in memory and loaded
// from a file; what loads must survive a save and a reload unchanged.
#include <filesystem>
#include <string>

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
    removeScratchFiles();
    const std::string path = scratchFile("karst-profile-store.bin");
    writeWholeFile(path, bytes);
    ProfileStore store(path);
    const bool loaded = store.load();
    if (loaded != (decoded.status == ProfileStoreStatus::Loaded))
        fail("loading the file and decoding its bytes disagree");
    if (loaded && store.records() != decoded.table) fail("the file loaded other records");
    if (!loaded && std::filesystem::exists(path)) fail("a rejected store was left in place");
    return 0;
}
