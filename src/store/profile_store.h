// The profile store: per profileKey, the ring balance and the server inventory of
// fruit, kept in a hash table and mirrored in full to one binary file after every
// change. Also the fruit catalogue, which purchases and feeding share.
//
// File layout (little-endian, no padding): a 12-byte header, magic "KPR6", u16
// version 1, two reserved bytes, u32 record count; then exactly `count` records
// of 98 bytes and nothing after them. docs/files.md gives the record layout.
#pragma once

#include "game/catalogue.h"
#include "store/profile_key.h"
#include "store/store_file.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

namespace karst {

inline constexpr size_t kProfileHeaderSize = 12;
inline constexpr size_t kProfileRecordSize = 98;
inline constexpr uint32_t kMaxProfileRecordsInHeader = 1'000'000;
inline constexpr StoreFileShape kProfileFileShape{{'K', 'P', 'R', '6'}, kProfileHeaderSize, kProfileRecordSize, true};

static_assert(kProfileHeaderSize == kStoreCommonHeaderSize);
// The player's looks (name, character, colour) end the record; they are the
// part a log-on rewrites in a stored profile.
inline constexpr size_t kProfileLooksOffset = kProfileKeySize + 4 + 2 * kFruitKinds;
inline constexpr size_t kProfileLooksSize = kPlayerNameSize + 1 + kColourSize;
static_assert(kProfileRecordSize == kProfileLooksOffset + kProfileLooksSize);

struct ProfileRecord {
    ProfileKey profileKey{};
    uint32_t rings = 0;
    FruitInventory serverInventory{};
    // Written on every update but never read back: a returning player's name,
    // character and colour come from the current Hello.
    PlayerName name{};
    uint8_t character = 0;
    Colour colour{};

    bool operator==(const ProfileRecord&) const = default;
};

using ProfileTable = std::unordered_map<ProfileKey, ProfileRecord, ProfileKeyHash>;

enum class ProfileStoreStatus {
    Loaded,
    BadHeader,   // short header, wrong magic or version, or a count the file cannot hold
    BadRecords,  // short or invalid record, or bytes after the last record
};

struct DecodedProfileStore {
    ProfileStoreStatus status = ProfileStoreStatus::Loaded;
    ProfileTable table;  // empty unless Loaded
};

// One record as the file holds it; decoding refuses what would refuse a file
// (a wrong size, an all-zero key, rings above the cap).
std::array<uint8_t, kProfileRecordSize> encodeProfileRecord(const ProfileRecord& record);
std::optional<ProfileRecord> decodeProfileRecord(std::span<const uint8_t> bytes);

// Header, then one record per table entry in table order, rings clamped to the cap.
std::vector<uint8_t> encodeProfileStore(const ProfileTable& table);

// Strict: any fault rejects the whole file. The first record with a given key wins.
DecodedProfileStore decodeProfileStore(std::span<const uint8_t> bytes);

// Judges a file from its header and size alone, before its records are read, so
// that a damaged file is never read into memory in full. Loaded here means "the
// records may now be decoded".
ProfileStoreStatus checkProfileStoreShape(std::span<const uint8_t> header, uint64_t fileSize);

class ProfileStore {
public:
    explicit ProfileStore(std::string path);

    // Missing file: empty store, true, silent. A file that fails to load is
    // reported, moved aside so that no later save overwrites it, and leaves the
    // store empty; returns false.
    bool load();

    const ProfileRecord* find(const ProfileKey& key) const;
    // Inserts or overwrites the record with the same key; rings are clamped to the
    // cap. An all-zero key is ignored: it would make the whole file unloadable.
    void update(const ProfileRecord& record);
    // Rewrites the whole file; false leaves the previous file in place.
    bool save();
    // The same; on failure `error` says why.
    bool save(std::error_code& error);

    size_t size() const { return table_.size(); }
    const std::string& path() const { return path_; }
    const ProfileTable& records() const { return table_; }

private:
    std::string path_;
    ProfileTable table_;
    RejectedStoreFile rejected_;
};

}  // namespace karst
