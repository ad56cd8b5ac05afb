// Profile store codec, loading and saving. Loading is strict: one fault anywhere
// discards the whole file for this run, and the file is kept aside so that the
// first save cannot overwrite what an operator may still want to recover
// (store/store_file.h).
#include "store/profile_store.h"

#include "app/console.h"
#include "game/catalogue.h"
#include "net/coding.h"
#include "store/store_file.h"

#include <algorithm>

namespace karst {

namespace {

uint64_t expectedFileSize(uint64_t count) {
    return kProfileHeaderSize + count * kProfileRecordSize;
}

// Inlined into the whole-store loop as well: called there out of line, it costs
// a save of 100,000 profiles about a tenth more.
[[gnu::always_inline]] inline void encodeRecord(ByteWriter& out, const ProfileRecord& record) {
    out.bytes(record.profileKey.data(), record.profileKey.size());
    out.u32(std::min(record.rings, kRingCap));
    for (uint16_t count : record.serverInventory) out.u16(count);
    out.bytes(record.name.data(), record.name.size());
    out.u8(record.character);
    out.bytes(record.colour.data(), record.colour.size());
}

ProfileRecord decodeRecord(std::span<const uint8_t> bytes) {
    ByteReader in(bytes);
    ProfileRecord record;
    in.bytes(record.profileKey.data(), record.profileKey.size());
    record.rings = in.u32();
    for (uint16_t& count : record.serverInventory) count = in.u16();
    in.bytes(record.name.data(), record.name.size());
    record.character = in.u8();
    in.bytes(record.colour.data(), record.colour.size());
    return record;
}

bool recordIsValid(const ProfileRecord& record) {
    return !isZeroKey(record.profileKey) && record.rings <= kRingCap;
}

}  // namespace

std::array<uint8_t, kProfileRecordSize> encodeProfileRecord(const ProfileRecord& record) {
    std::array<uint8_t, kProfileRecordSize> bytes{};
    ByteWriter out(bytes);
    encodeRecord(out, record);
    return bytes;
}

std::optional<ProfileRecord> decodeProfileRecord(std::span<const uint8_t> bytes) {
    if (bytes.size() != kProfileRecordSize) return std::nullopt;
    ProfileRecord record = decodeRecord(bytes);
    if (!recordIsValid(record)) return std::nullopt;
    return record;
}

std::vector<uint8_t> encodeProfileStore(const ProfileTable& table) {
    std::vector<uint8_t> bytes(expectedFileSize(table.size()));
    ByteWriter out(bytes);
    const auto header = encodeStoreHeader(kProfileFileShape, static_cast<uint32_t>(table.size()));
    out.bytes(header.data(), header.size());
    for (const auto& entry : table) encodeRecord(out, entry.second);
    return bytes;
}

ProfileStoreStatus checkProfileStoreShape(std::span<const uint8_t> header, uint64_t fileSize) {
    if (!storeHeaderMatches(header, kProfileFileShape)) return ProfileStoreStatus::BadHeader;
    const uint32_t count = storeRecordCount(header);
    const bool sizeMatches = fileSize == expectedFileSize(count);
    // The running store grows without a limit, so a larger count is accepted when
    // the file really holds that many records: the server must read what it wrote.
    if (count > kMaxProfileRecordsInHeader)
        return sizeMatches ? ProfileStoreStatus::Loaded : ProfileStoreStatus::BadHeader;
    return sizeMatches ? ProfileStoreStatus::Loaded : ProfileStoreStatus::BadRecords;
}

DecodedProfileStore decodeProfileStore(std::span<const uint8_t> bytes) {
    DecodedProfileStore result;
    result.status = checkProfileStoreShape(
        bytes.first(std::min(bytes.size(), kProfileHeaderSize)), bytes.size());
    if (result.status != ProfileStoreStatus::Loaded) return result;

    const uint32_t count = getU32(bytes.data() + 8);
    result.table.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t offset = kProfileHeaderSize + size_t{i} * kProfileRecordSize;
        const ProfileRecord record = decodeRecord(bytes.subspan(offset, kProfileRecordSize));
        if (!recordIsValid(record)) return {ProfileStoreStatus::BadRecords, {}};
        result.table.try_emplace(record.profileKey, record);
    }
    return result;
}

ProfileStore::ProfileStore(std::string path) : path_(path), rejected_("profile store", std::move(path)) {}

bool ProfileStore::load() {
    table_.clear();
    return loadStoreFile(path_, kProfileFileShape, rejected_, [this](std::span<const uint8_t> bytes) {
        DecodedProfileStore decoded = decodeProfileStore(bytes);
        if (decoded.status != ProfileStoreStatus::Loaded) return false;
        table_ = std::move(decoded.table);
        return true;
    });
}

const ProfileRecord* ProfileStore::find(const ProfileKey& key) const {
    const auto it = table_.find(key);
    return it == table_.end() ? nullptr : &it->second;
}

void ProfileStore::update(const ProfileRecord& record) {
    if (isZeroKey(record.profileKey)) return;
    ProfileRecord stored = record;
    stored.rings = std::min(stored.rings, kRingCap);
    table_.insert_or_assign(stored.profileKey, stored);
}

bool ProfileStore::save() {
    std::error_code ignored;
    return save(ignored);
}

bool ProfileStore::save(std::error_code& error) {
    return saveStoreFile(path_, rejected_, table_.size(), [this] { return encodeProfileStore(table_); }, error);
}

}  // namespace karst
