// The Pibo store: every creature record the server knows, in memory and in its
// binary file, plus the two id schemes (ids derived from a profile's local slot,
// and ids the server allocates for the eggs it creates).
//
// File layout, little-endian, no padding: a 20-byte header ("KPB5", u16 version 1,
// u16 reserved, u32 record count, u64 nextPiboId) followed by `count` records of
// 2116 bytes; bytes after the last record are ignored. Only the persisted fields
// of a record reach the file; presence and state are rebuilt as players register
// their creatures again after a restart.
#pragma once

#include "game/room_key.h"
#include "net/protocol.h"
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

inline constexpr size_t kPiboHeaderSize = kStoreCommonHeaderSize + 8;  // and the id counter
inline constexpr size_t kPiboRecordSize = 2116;
inline constexpr StoreFileShape kPiboFileShape{{'K', 'P', 'B', '5'}, kPiboHeaderSize, kPiboRecordSize, false};
inline constexpr uint32_t kMaxPiboRecordsInHeader = 100'000;
inline constexpr uint64_t kFirstServerPiboId = 0x8000000000000001ull;
// Server-assigned ids keep the first one's lowest bit set, so they go up in twos;
// every place that hands out or reserves them steps by this.
inline constexpr uint64_t kServerPiboIdStep = 2;
inline constexpr size_t kPiboNameSize = 16;

inline constexpr uint8_t kNoLocalSlot = 255;
inline constexpr uint8_t kLocalSlotCount = 24;
inline constexpr uint8_t kPiboStageEgg = 1;
inline constexpr uint8_t kPiboStageHatched = 2;

// PiboData byte 128 is the creature type, 1..25, where 1 is an egg.
inline constexpr size_t kPiboTypeOffset = 128;
inline constexpr uint8_t kPiboTypeEgg = 1;
inline constexpr uint8_t kMaxPiboType = 25;
inline bool isValidPiboType(uint8_t type) { return type >= kPiboTypeEgg && type <= kMaxPiboType; }

// Where the room key sits inside a PiboState payload.
inline constexpr size_t kPiboStateRoomOffset = 12;

// A state payload that holds nothing but the no-room key.
std::array<uint8_t, kPiboStateSize> emptyPiboState();

struct PiboRecord {
    uint64_t id = 0;
    uint32_t holderPlayerId = 0;
    RoomKey room = kNoRoom;
    uint8_t localSlot = kNoLocalSlot;
    uint8_t stage = kPiboStageHatched;
    uint8_t present = 0;
    uint8_t reserved = 0;
    std::array<uint8_t, kPiboNameSize> name{};
    std::array<uint8_t, kPiboDataSize> data{};
    std::array<uint8_t, kPiboStateSize> lastState = emptyPiboState();
    ProfileKey owner{};
    uint64_t parentA = 0;
    uint64_t parentB = 0;
    uint64_t breedReadyAt = 0;
    uint64_t lastStateNs = 0;
    uint8_t hasState = 0;
    uint8_t pendingDelivery = 0;
};

// A record as first registered: the given id and owner, everything else at its default.
PiboRecord makeFreshPiboRecord(uint64_t id, const ProfileKey& owner);

// The id a game uses for the creature in local slot `slot` of profile `key`:
// always odd and below 2^63, so it never meets a server-allocated id.
uint64_t derivePiboId(const ProfileKey& key, uint8_t slot);

enum class PiboStoreStatus { Loaded, BadHeader, BadRecords };

struct DecodedPiboStore {
    PiboStoreStatus status = PiboStoreStatus::Loaded;
    std::vector<PiboRecord> records;  // file order, first record of each id only
    uint64_t nextPiboId = kFirstServerPiboId;
};

// One record as the file holds it (persisted fields only); decoding refuses a
// record that would refuse a file (a wrong size, id 0, a creature type out of range).
std::array<uint8_t, kPiboRecordSize> encodePiboRecord(const PiboRecord& record);
std::optional<PiboRecord> decodePiboRecord(std::span<const uint8_t> bytes);

std::vector<uint8_t> encodePiboStore(std::span<const PiboRecord> records, uint64_t nextPiboId);
// A count above `headerCountLimit` is accepted only when the file really holds
// that many records (the limit is a parameter so tests need not build a huge file).
DecodedPiboStore decodePiboStore(std::span<const uint8_t> file,
                                 uint32_t headerCountLimit = kMaxPiboRecordsInHeader);

// The in-memory table and its file. Table order is insertion order (records are
// never deleted), which keeps saves and room scans deterministic. Pointers from
// `find` and spans from `records` stay valid until the next `insert` or `load`.
// A record's id must not be changed in place.
class PiboStore {
public:
    explicit PiboStore(std::string path);

    bool load();
    bool save();
    // The same; on failure `error` says why.
    bool save(std::error_code& error);

    PiboRecord* find(uint64_t id);
    const PiboRecord* find(uint64_t id) const;
    // False, changing nothing, when the id is 0 or already in the table.
    bool insert(const PiboRecord& record);
    // Takes the persisted fields of `record` as another store holds them: a new
    // record is inserted, a known one keeps only its presence and state.
    void refresh(const PiboRecord& record);

    std::span<PiboRecord> records() { return records_; }
    std::span<const PiboRecord> records() const { return records_; }
    size_t size() const { return records_.size(); }

    uint64_t nextPiboId() const { return nextPiboId_; }
    uint64_t allocatePiboId();
    const std::string& path() const { return path_; }

private:
    void replaceTable(std::vector<PiboRecord> records);

    std::string path_;
    RejectedStoreFile rejected_;
    std::vector<PiboRecord> records_;
    std::unordered_map<uint64_t, size_t> indexById_;
    uint64_t nextPiboId_ = kFirstServerPiboId;
};

}  // namespace karst
