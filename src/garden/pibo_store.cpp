// The Pibo store's codecs, its file load and save, and the id schemes.
// All integers little-endian through net/coding.h; sizes in bytes.
#include "garden/pibo_store.h"

#include "net/coding.h"
#include "store/store_file.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <utility>

namespace karst {

static_assert(8 + 4 + kRoomKeySize + 4 + kPiboNameSize + kPiboDataSize == kPiboAppearSize);
static_assert(8 + 8 + 8 + kPiboNameSize + kPiboDataSize == kPiboDeliverySize);
static_assert(8 + kProfileKeySize + 8 + 8 + 8 + 4 + kPiboNameSize + kPiboDataSize ==
              kPiboRecordSize);
static_assert(4 + 2 + 2 + 4 + 8 == kPiboHeaderSize);
static_assert(kPiboStateRoomOffset + kRoomKeySize <= kPiboStateSize);

std::array<uint8_t, kPiboStateSize> emptyPiboState() {
    std::array<uint8_t, kPiboStateSize> state{};
    encodeRoomKey(state.data() + kPiboStateRoomOffset, kNoRoom);
    return state;
}

PiboRecord makeFreshPiboRecord(uint64_t id, const ProfileKey& owner) {
    PiboRecord record;
    record.id = id;
    record.owner = owner;
    return record;
}

// FNV-1a 64 over the 16 key bytes and the slot as a u64 little-endian. The
// starting value is the standard FNV-1a 64-bit offset basis; every client that
// derives ids for registration must use the same one.
uint64_t derivePiboId(const ProfileKey& key, uint8_t slot) {
    constexpr uint64_t kOffsetBasis = 0xCBF29CE484222325ull;
    constexpr uint64_t kPrime = 0x100000001B3ull;
    uint8_t input[kProfileKeySize + 8];
    std::memcpy(input, key.data(), kProfileKeySize);
    putU64(input + kProfileKeySize, slot);
    uint64_t h = kOffsetBasis;
    for (uint8_t byte : input) {
        h ^= byte;
        h *= kPrime;
    }
    return (h & ~(uint64_t{1} << 63)) | 1u;
}

namespace {

void encodeRecord(ByteWriter& w, const PiboRecord& record) {
    w.u64(record.id).bytes(record.owner.data(), kProfileKeySize);
    w.u64(record.parentA).u64(record.parentB).u64(record.breedReadyAt);
    w.u8(record.localSlot).u8(record.stage).u8(record.pendingDelivery != 0 ? 1 : 0).u8(0);
    w.bytes(record.name.data(), kPiboNameSize).bytes(record.data.data(), kPiboDataSize);
}

// Presence and state fields keep their defaults: nothing is present after a load.
PiboRecord decodeRecord(ByteReader& r) {
    PiboRecord record;
    record.id = r.u64();
    r.bytes(record.owner.data(), kProfileKeySize);
    record.parentA = r.u64();
    record.parentB = r.u64();
    record.breedReadyAt = r.u64();
    record.localSlot = r.u8();
    record.stage = r.u8();
    record.pendingDelivery = r.u8() != 0 ? 1 : 0;
    r.skip(1);
    r.bytes(record.name.data(), kPiboNameSize);
    r.bytes(record.data.data(), kPiboDataSize);
    return record;
}

bool recordIsValid(const PiboRecord& record) {
    return record.id != 0 && isValidPiboType(record.data[kPiboTypeOffset]);
}

DecodedPiboStore rejected(PiboStoreStatus status) {
    DecodedPiboStore result;
    result.status = status;
    return result;
}

}  // namespace

std::array<uint8_t, kPiboRecordSize> encodePiboRecord(const PiboRecord& record) {
    std::array<uint8_t, kPiboRecordSize> bytes{};
    ByteWriter w(bytes);
    encodeRecord(w, record);
    return bytes;
}

std::optional<PiboRecord> decodePiboRecord(std::span<const uint8_t> bytes) {
    if (bytes.size() != kPiboRecordSize) return std::nullopt;
    ByteReader r(bytes);
    PiboRecord record = decodeRecord(r);
    if (!recordIsValid(record)) return std::nullopt;
    return record;
}

std::vector<uint8_t> encodePiboStore(std::span<const PiboRecord> records, uint64_t nextPiboId) {
    std::vector<uint8_t> file(kPiboHeaderSize + records.size() * kPiboRecordSize);
    ByteWriter w(file);
    const auto header = encodeStoreHeader(kPiboFileShape, static_cast<uint32_t>(records.size()));
    w.bytes(header.data(), header.size()).u64(nextPiboId);
    for (const PiboRecord& record : records) encodeRecord(w, record);
    return file;
}

DecodedPiboStore decodePiboStore(std::span<const uint8_t> file, uint32_t headerCountLimit) {
    if (!storeHeaderMatches(file, kPiboFileShape)) return rejected(PiboStoreStatus::BadHeader);
    const uint32_t count = storeRecordCount(file);
    const uint64_t recordBytes = file.size() - kPiboHeaderSize;
    // A store may outgrow the header limit at run time; a file that really holds
    // all its records is still accepted rather than losing every creature.
    if (count > headerCountLimit && recordBytes / kPiboRecordSize < count)
        return rejected(PiboStoreStatus::BadHeader);

    DecodedPiboStore result;
    result.records.reserve(std::min<uint64_t>(count, recordBytes / kPiboRecordSize));
    std::unordered_set<uint64_t> seen;
    ByteReader r(file.subspan(kPiboHeaderSize));
    for (uint32_t i = 0; i < count; ++i) {
        if (r.remaining() < kPiboRecordSize) return rejected(PiboStoreStatus::BadRecords);
        PiboRecord record = decodeRecord(r);
        if (!recordIsValid(record))
            return rejected(PiboStoreStatus::BadRecords);
        if (seen.insert(record.id).second) result.records.push_back(std::move(record));
    }
    result.nextPiboId = std::max(getU64(file.data() + 12), kFirstServerPiboId);
    return result;
}

PiboStore::PiboStore(std::string path) : path_(path), rejected_("Pibo store", std::move(path)) {}

bool PiboStore::load() {
    return loadStoreFile(path_, kPiboFileShape, rejected_, [this](std::span<const uint8_t> file) {
        DecodedPiboStore decoded = decodePiboStore(file);
        // A bad header leaves the table as it was; bad records empty it.
        if (decoded.status == PiboStoreStatus::BadRecords) replaceTable({});
        if (decoded.status != PiboStoreStatus::Loaded) return false;
        replaceTable(std::move(decoded.records));
        nextPiboId_ = decoded.nextPiboId;
        return true;
    });
}

bool PiboStore::save() {
    std::error_code ignored;
    return save(ignored);
}

bool PiboStore::save(std::error_code& error) {
    return saveStoreFile(path_, rejected_, records_.size(),
                         [this] { return encodePiboStore(records_, nextPiboId_); }, error);
}

PiboRecord* PiboStore::find(uint64_t id) {
    const auto it = indexById_.find(id);
    return it == indexById_.end() ? nullptr : &records_[it->second];
}

const PiboRecord* PiboStore::find(uint64_t id) const {
    const auto it = indexById_.find(id);
    return it == indexById_.end() ? nullptr : &records_[it->second];
}

bool PiboStore::insert(const PiboRecord& record) {
    if (record.id == 0 || indexById_.contains(record.id)) return false;
    records_.push_back(record);
    indexById_.emplace(record.id, records_.size() - 1);
    return true;
}

void PiboStore::refresh(const PiboRecord& record) {
    PiboRecord* known = find(record.id);
    if (known == nullptr) {
        (void)insert(record);
        return;
    }
    known->owner = record.owner;
    known->parentA = record.parentA;
    known->parentB = record.parentB;
    known->breedReadyAt = record.breedReadyAt;
    known->localSlot = record.localSlot;
    known->stage = record.stage;
    known->pendingDelivery = record.pendingDelivery;
    known->name = record.name;
    known->data = record.data;
}

uint64_t PiboStore::allocatePiboId() {
    for (;;) {
        const uint64_t candidate = nextPiboId_;
        nextPiboId_ = candidate + kServerPiboIdStep;
        if (candidate != 0 && !indexById_.contains(candidate)) return candidate;
    }
}

void PiboStore::replaceTable(std::vector<PiboRecord> records) {
    records_ = std::move(records);
    indexById_.clear();
    indexById_.reserve(records_.size());
    for (size_t i = 0; i < records_.size(); ++i) indexById_.emplace(records_[i].id, i);
}

}  // namespace karst
