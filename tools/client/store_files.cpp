#include "client/store_files.h"

#include "common/wire.h"

#include <algorithm>

namespace karst::client {

namespace {

using tools::WireReader;
using tools::WireWriter;

constexpr std::array<uint8_t, 4> kProfileMagic{'K', 'P', 'R', '6'};
constexpr std::array<uint8_t, 4> kPiboMagic{'K', 'P', 'B', '5'};
constexpr uint16_t kStoreVersion = 1;

// Magic and version; the reserved u16 is skipped, then the count is read.
bool readHeader(WireReader& in, const std::array<uint8_t, 4>& magic, uint32_t& count) {
    std::array<uint8_t, 4> found{};
    in.bytes(found.data(), found.size());
    const uint16_t version = in.u16();
    in.skip(2);
    count = in.u32();
    return in.ok() && found == magic && version == kStoreVersion;
}

void writeHeader(WireWriter& out, const std::array<uint8_t, 4>& magic, size_t count) {
    out.bytes(magic.data(), magic.size()).u16(kStoreVersion).u16(0);
    out.u32(static_cast<uint32_t>(count));
}

bool isZero(const ProfileKey& key) {
    return std::all_of(key.begin(), key.end(), [](uint8_t b) { return b == 0; });
}

StoredProfile readProfile(WireReader& in) {
    StoredProfile r;
    in.bytes(r.key.data(), r.key.size());
    r.rings = in.u32();
    for (uint16_t& count : r.fruit) count = in.u16();
    r.name = in.text(kStoredNameSize);
    r.character = in.u8();
    in.bytes(r.colour.data(), r.colour.size());
    return r;
}

StoredPibo readPibo(WireReader& in) {
    StoredPibo r;
    r.id = in.u64();
    in.bytes(r.owner.data(), r.owner.size());
    r.parentA = in.u64();
    r.parentB = in.u64();
    r.breedReadyAt = in.u64();
    r.localSlot = in.u8();
    r.stage = in.u8();
    r.pendingDelivery = in.u8();
    in.skip(1);
    r.name = in.text(kStoredPiboNameSize);
    in.bytes(r.data.data(), r.data.size());
    return r;
}

}  // namespace

std::optional<StoredProfiles> readProfileStore(std::span<const uint8_t> file) {
    WireReader in(file);
    uint32_t count = 0;
    if (!readHeader(in, kProfileMagic, count)) return std::nullopt;
    // Exactly the records the count announces: a short record or a byte after the last refuses.
    if (in.remaining() != uint64_t{count} * kProfileRecordSize) return std::nullopt;
    StoredProfiles records;
    for (uint32_t i = 0; i < count; ++i) {
        StoredProfile r = readProfile(in);
        if (isZero(r.key) || r.rings > kRingCap) return std::nullopt;
        records.emplace(r.key, std::move(r));
    }
    return records;
}

std::optional<PiboStoreFile> readPiboStore(std::span<const uint8_t> file) {
    WireReader in(file);
    uint32_t count = 0;
    if (!readHeader(in, kPiboMagic, count)) return std::nullopt;
    PiboStoreFile store;
    store.nextId = in.u64();
    // Bytes after the last record are allowed here, unlike in the profile store.
    if (!in.ok() || in.remaining() / kPiboRecordSize < count) return std::nullopt;
    for (uint32_t i = 0; i < count; ++i) {
        StoredPibo r = readPibo(in);
        const uint8_t type = r.data[kPiboTypeOffset];
        if (r.id == 0 || type < kPiboTypeEgg || type > kMaxPiboType) return std::nullopt;
        store.records.emplace(r.id, std::move(r));
    }
    return store;
}

std::vector<uint8_t> writeProfileStore(std::span<const StoredProfile> records) {
    std::vector<uint8_t> file(kProfileStoreHeaderSize + records.size() * kProfileRecordSize);
    WireWriter out(file);
    writeHeader(out, kProfileMagic, records.size());
    for (const StoredProfile& r : records) {
        out.bytes(r.key.data(), r.key.size()).u32(r.rings);
        for (uint16_t count : r.fruit) out.u16(count);
        out.text(r.name, kStoredNameSize).u8(r.character).bytes(r.colour.data(), r.colour.size());
    }
    return file;
}

std::vector<uint8_t> writePiboStore(std::span<const StoredPibo> records, uint64_t nextId) {
    std::vector<uint8_t> file(kPiboStoreHeaderSize + records.size() * kPiboRecordSize);
    WireWriter out(file);
    writeHeader(out, kPiboMagic, records.size());
    out.u64(nextId);
    for (const StoredPibo& r : records) {
        out.u64(r.id).bytes(r.owner.data(), r.owner.size());
        out.u64(r.parentA).u64(r.parentB).u64(r.breedReadyAt);
        out.u8(r.localSlot).u8(r.stage).u8(r.pendingDelivery).u8(0);
        out.text(r.name, kStoredPiboNameSize).bytes(r.data.data(), r.data.size());
    }
    return file;
}

}  // namespace karst::client
