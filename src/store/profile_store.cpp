// Profile store codec, loading and saving. Loading is strict: one fault anywhere
// discards the whole file for this run, and the file is moved aside so that the
// first save cannot overwrite what an operator may still want to recover.
#include "store/profile_store.h"

#include "app/console.h"
#include "app/settings.h"
#include "net/coding.h"
#include "store/file_replace.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

namespace karst {

namespace fs = std::filesystem;

namespace {

uint64_t expectedFileSize(uint64_t count) {
    return kProfileHeaderSize + count * kProfileRecordSize;
}

void encodeRecord(ByteWriter& out, const ProfileRecord& record) {
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

// Reads the header first and the rest only when the header and the file's size
// agree, so a damaged or foreign file costs twelve bytes of memory, not its size.
DecodedProfileStore readProfileStoreFile(const std::string& path) {
    DecodedProfileStore rejected{ProfileStoreStatus::BadHeader, {}};
    std::error_code error;
    const uintmax_t fileSize = fs::file_size(path, error);
    if (error) return rejected;
    std::ifstream file(path, std::ios::binary);
    if (!file) return rejected;

    std::vector<uint8_t> bytes(std::min<uintmax_t>(fileSize, kProfileHeaderSize));
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (file.gcount() != static_cast<std::streamsize>(bytes.size())) return rejected;
    const ProfileStoreStatus shape = checkProfileStoreShape(bytes, fileSize);
    if (shape != ProfileStoreStatus::Loaded) return {shape, {}};

    bytes.resize(fileSize);
    const auto restSize = static_cast<std::streamsize>(fileSize - kProfileHeaderSize);
    file.read(reinterpret_cast<char*>(bytes.data() + kProfileHeaderSize), restSize);
    // A file that changed size under us is judged as it was when measured: damaged.
    if (file.gcount() != restSize || file.peek() != std::ifstream::traits_type::eof())
        return {ProfileStoreStatus::BadRecords, {}};
    return decodeProfileStore(bytes);
}

}  // namespace

uint32_t fruitPrice(int8_t code) {
    switch (code) {
        case 3:
        case 4: return 25;
        case 5:
        case 6: return 50;
        case 11: return 100;
        case 24: return 10;
        default: return 0;
    }
}

std::vector<uint8_t> encodeProfileStore(const ProfileTable& table) {
    std::vector<uint8_t> bytes(expectedFileSize(table.size()));
    ByteWriter out(bytes);
    out.bytes(kProfileStoreMagic.data(), kProfileStoreMagic.size());
    out.u16(kProfileStoreVersion);
    out.u16(0);
    out.u32(static_cast<uint32_t>(table.size()));
    for (const auto& entry : table) encodeRecord(out, entry.second);
    return bytes;
}

ProfileStoreStatus checkProfileStoreShape(std::span<const uint8_t> header, uint64_t fileSize) {
    if (header.size() < kProfileHeaderSize) return ProfileStoreStatus::BadHeader;
    if (!std::equal(kProfileStoreMagic.begin(), kProfileStoreMagic.end(), header.begin()))
        return ProfileStoreStatus::BadHeader;
    if (getU16(header.data() + 4) != kProfileStoreVersion) return ProfileStoreStatus::BadHeader;
    const uint32_t count = getU32(header.data() + 8);
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

ProfileStore::ProfileStore(std::string path) : path_(std::move(path)) {}

bool ProfileStore::load() {
    table_.clear();
    rejectedFileInPlace_ = false;
    std::error_code error;
    if (fs::status(path_, error).type() == fs::file_type::not_found) return true;

    DecodedProfileStore decoded = readProfileStoreFile(path_);
    if (decoded.status != ProfileStoreStatus::Loaded) {
        reject();
        return false;
    }
    table_ = std::move(decoded.table);
    return true;
}

void ProfileStore::reject() {
    printError("Warning: ignored invalid profile store " + path_);
    rejectedFileInPlace_ = true;
    if (!moveRejectedFileAside())
        printError("Warning: could not move rejected profile store " + path_ +
                   " aside; profiles are not saved until it can be");
}

bool ProfileStore::moveRejectedFileAside() {
    const std::optional<std::string> newPath = keepRejectedFileAside(path_);
    if (!newPath) return false;
    printError("Warning: kept rejected profile store " + path_ + " as " + *newPath);
    rejectedFileInPlace_ = false;
    return true;
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
    error.clear();
    // Retried on every save: the rejected file still holds the path.
    if (rejectedFileInPlace_ && !moveRejectedFileAside()) {
        error = std::make_error_code(std::errc::file_exists);
        return false;
    }
    return replaceFileFromTemp(path_, encodeProfileStore(table_), error);
}

}  // namespace karst
