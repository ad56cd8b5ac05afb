// Fuzz target: any bytes as the Pibo store, decoded in memory (with the normal
// header limit and a tiny one) and loaded from a file; what loads must survive
// a save and a reload unchanged.
#include "fuzz_support.h"
#include "garden/pibo_store.h"
#include "store_checks.h"

namespace {
constexpr uint32_t kTinyHeaderLimit = 1;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace karst;
    using namespace karst::fuzz;
    const std::span<const uint8_t> bytes(data, size);
    const DecodedPiboStore decoded = decodePiboStore(bytes);
    if (decoded.status != PiboStoreStatus::Loaded && !decoded.records.empty())
        fail("a rejected store kept records");
    if (decoded.status == PiboStoreStatus::Loaded)
        checkPiboRoundTrip(decoded.records, decoded.nextPiboId);
    const DecodedPiboStore limited = decodePiboStore(bytes, kTinyHeaderLimit);
    if (limited.status == PiboStoreStatus::Loaded && decoded.status != PiboStoreStatus::Loaded)
        fail("a lower header limit accepted what the normal one rejects");

    checkFileLoad<PiboStore>("karst-pibo-store.bin", bytes, decoded.status == PiboStoreStatus::Loaded,
                             [&](const PiboStore& store) {
        if (store.size() != decoded.records.size() || store.nextPiboId() != decoded.nextPiboId)
            fail("the file loaded other records");
        checkPiboRoundTrip(store.records(), store.nextPiboId());
    });
    return 0;
}
