#include "store_checks.h"

#include <string>

#include "fuzz_support.h"

namespace karst::fuzz {

void checkProfileRoundTrip(const ProfileTable& table) {
    const std::vector<uint8_t> file = encodeProfileStore(table);
    const DecodedProfileStore decoded = decodeProfileStore(file);
    if (decoded.status != ProfileStoreStatus::Loaded)
        fail("profile store written from memory does not load");
    if (decoded.table.size() != table.size()) fail("profile store lost records on reload");
    for (const auto& [key, record] : table) {
        const auto it = decoded.table.find(key);
        ProfileRecord expected = record;
        expected.rings = std::min(expected.rings, kRingCap);
        if (it == decoded.table.end() || !(it->second == expected))
            fail("profile record changed on reload");
    }
}

void checkPiboRoundTrip(std::span<const PiboRecord> records, uint64_t nextPiboId) {
    const std::vector<uint8_t> file = encodePiboStore(records, nextPiboId);
    // The limit is what a restart applies to the file this server just wrote.
    const DecodedPiboStore decoded = decodePiboStore(file);
    if (decoded.status != PiboStoreStatus::Loaded)
        fail("Pibo store written from memory does not load (" + std::to_string(records.size()) +
             " records)");
    if (decoded.records.size() != records.size()) fail("Pibo store lost records on reload");
    if (encodePiboStore(decoded.records, decoded.nextPiboId) != file)
        fail("Pibo store changed on reload");
}

}  // namespace karst::fuzz
