// Profile store: the file codec and its strict loading rules, saving, rejection handling, fruit prices.
#include "store/profile_store.h"

#include "app/settings.h"
#include "net/coding.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <map>

namespace karst {
namespace {

using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
namespace fs = std::filesystem;

ProfileKey keyOf(uint8_t seed) {
    ProfileKey key{};
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(seed + i);
    return key;
}

ProfileRecord recordOf(uint8_t seed, uint32_t rings) {
    ProfileRecord record;
    record.profileKey = keyOf(seed);
    record.rings = rings;
    for (size_t i = 0; i < record.serverInventory.size(); ++i)
        record.serverInventory[i] = static_cast<uint16_t>(seed * 100 + i);
    record.name = {'S', 'o', 'n', 'i', 'c'};
    record.character = 3;
    record.colour = {10, 20, seed};
    return record;
}

ProfileTable tableOf(std::initializer_list<ProfileRecord> records) {
    ProfileTable table;
    for (const ProfileRecord& r : records) table.emplace(r.profileKey, r);
    return table;
}

std::vector<uint8_t> fileOf(std::initializer_list<ProfileRecord> records) {
    return encodeProfileStore(tableOf(records));
}

ProfileStoreStatus statusOf(const std::vector<uint8_t>& bytes) {
    return decodeProfileStore(bytes).status;
}

TEST(ProfileStoreCodec, RoundTripKeepsEveryField) {
    const ProfileTable table = tableOf({recordOf(1, 0), recordOf(2, 500), recordOf(3, kRingCap)});
    const DecodedProfileStore decoded = decodeProfileStore(encodeProfileStore(table));
    ASSERT_EQ(decoded.status, ProfileStoreStatus::Loaded);
    EXPECT_EQ(decoded.table, table);
}

TEST(ProfileStoreCodec, LayoutIsPinned) {
    const std::vector<uint8_t> bytes = fileOf({recordOf(7, 0x01020304)});
    ASSERT_EQ(bytes.size(), kProfileHeaderSize + kProfileRecordSize);
    const std::vector<uint8_t> header(bytes.begin(), bytes.begin() + 12);
    EXPECT_EQ(header, (std::vector<uint8_t>{'K', 'P', 'R', '6', 1, 0, 0, 0, 1, 0, 0, 0}));
    const uint8_t* record = bytes.data() + kProfileHeaderSize;
    EXPECT_EQ(record[0], 7);
    EXPECT_EQ(record[15], 22);
    EXPECT_EQ(getU32(record + 16), kRingCap);  // clamped from 0x01020304
    EXPECT_EQ(getU16(record + 20), 700);       // fruit code 0
    EXPECT_EQ(getU16(record + 68), 724);       // fruit code 24
    EXPECT_EQ(record[70], 'S');
    EXPECT_EQ(record[93], 0);
    EXPECT_EQ(record[94], 3);
    EXPECT_EQ(record[95], 10);
    EXPECT_EQ(record[97], 7);
}

TEST(ProfileStoreCodec, EmptyStoreIsTwelveBytes) {
    const std::vector<uint8_t> bytes = encodeProfileStore({});
    EXPECT_EQ(bytes.size(), kProfileHeaderSize);
    const DecodedProfileStore decoded = decodeProfileStore(bytes);
    EXPECT_EQ(decoded.status, ProfileStoreStatus::Loaded);
    EXPECT_TRUE(decoded.table.empty());
}

TEST(ProfileStoreCodec, HeaderFaultsAreBadHeader) {
    const std::vector<uint8_t> good = fileOf({recordOf(1, 5)});
    EXPECT_EQ(statusOf({}), ProfileStoreStatus::BadHeader);
    EXPECT_EQ(statusOf({good.begin(), good.begin() + 11}), ProfileStoreStatus::BadHeader);
    auto magic = good;
    magic[3] = '5';
    EXPECT_EQ(statusOf(magic), ProfileStoreStatus::BadHeader);
    auto version = good;
    version[4] = 2;
    EXPECT_EQ(statusOf(version), ProfileStoreStatus::BadHeader);
    auto versionHigh = good;
    versionHigh[5] = 1;  // 0x0101
    EXPECT_EQ(statusOf(versionHigh), ProfileStoreStatus::BadHeader);
    auto count = good;
    putU32(count.data() + 8, kMaxProfileRecordsInHeader + 1);
    EXPECT_EQ(statusOf(count), ProfileStoreStatus::BadHeader);
}

TEST(ProfileStoreCodec, RecordFaultsAreBadRecords) {
    const std::vector<uint8_t> good = fileOf({recordOf(1, 5), recordOf(2, 6)});
    auto shortRecord = good;
    shortRecord.pop_back();
    EXPECT_EQ(statusOf(shortRecord), ProfileStoreStatus::BadRecords);
    auto trailing = good;
    trailing.push_back(0);
    EXPECT_EQ(statusOf(trailing), ProfileStoreStatus::BadRecords);
    auto zeroKey = good;
    std::fill_n(zeroKey.begin() + kProfileHeaderSize + kProfileRecordSize, kProfileKeySize, 0);
    EXPECT_EQ(statusOf(zeroKey), ProfileStoreStatus::BadRecords);
    auto tooRich = good;
    putU32(tooRich.data() + kProfileHeaderSize + 16, kRingCap + 1);
    const DecodedProfileStore decoded = decodeProfileStore(tooRich);
    EXPECT_EQ(decoded.status, ProfileStoreStatus::BadRecords);
    EXPECT_TRUE(decoded.table.empty());
}

TEST(ProfileStoreCodec, ReservedBytesAreIgnored) {
    auto bytes = fileOf({recordOf(1, 5)});
    bytes[6] = 5;
    bytes[7] = 0xFF;
    EXPECT_EQ(statusOf(bytes), ProfileStoreStatus::Loaded);
}

TEST(ProfileStoreCodec, FirstRecordWithAKeyWins) {
    ProfileRecord first = recordOf(1, 100);
    ProfileRecord second = recordOf(1, 200);
    std::vector<uint8_t> bytes = fileOf({first});
    const std::vector<uint8_t> other = fileOf({second});
    bytes.insert(bytes.end(), other.begin() + kProfileHeaderSize, other.end());
    putU32(bytes.data() + 8, 2);
    const DecodedProfileStore decoded = decodeProfileStore(bytes);
    ASSERT_EQ(decoded.status, ProfileStoreStatus::Loaded);
    ASSERT_EQ(decoded.table.size(), 1u);
    EXPECT_EQ(decoded.table.at(first.profileKey).rings, 100u);
}

TEST(ProfileStoreCodec, CountAboveLimitIsJudgedByFileSize) {
    std::vector<uint8_t> header = encodeProfileStore({});
    putU32(header.data() + 8, kMaxProfileRecordsInHeader + 1);
    const uint64_t exact =
        kProfileHeaderSize + uint64_t{kMaxProfileRecordsInHeader + 1} * kProfileRecordSize;
    EXPECT_EQ(checkProfileStoreShape(header, exact), ProfileStoreStatus::Loaded);
    EXPECT_EQ(checkProfileStoreShape(header, exact + 1), ProfileStoreStatus::BadHeader);
    EXPECT_EQ(checkProfileStoreShape(header, exact - 1), ProfileStoreStatus::BadHeader);
    putU32(header.data() + 8, kMaxProfileRecordsInHeader);
    EXPECT_EQ(checkProfileStoreShape(header, exact - 1), ProfileStoreStatus::BadRecords);
}

// What a server that grew past the header limit wrote, it reads back.
TEST(ProfileStoreCodec, ReadsBackMoreThanAMillionRecords) {
    constexpr uint32_t kCount = kMaxProfileRecordsInHeader + 1;
    ProfileTable table;
    table.reserve(kCount);
    ProfileRecord record = recordOf(0, 1);
    for (uint32_t i = 0; i < kCount; ++i) {
        putU32(record.profileKey.data() + 8, i + 1);
        table.emplace(record.profileKey, record);
    }
    const DecodedProfileStore decoded = decodeProfileStore(encodeProfileStore(table));
    EXPECT_EQ(decoded.status, ProfileStoreStatus::Loaded);
    EXPECT_EQ(decoded.table.size(), kCount);
}

TEST(ProfileStore, FruitPrices) {
    const std::map<int, uint32_t> fruits{{3, 25}, {4, 25}, {5, 50}, {6, 50}, {11, 100}, {24, 10}};
    for (int code = -128; code <= 127; ++code) {
        const auto it = fruits.find(code);
        EXPECT_EQ(fruitPrice(static_cast<int8_t>(code)), it == fruits.end() ? 0u : it->second)
            << code;
    }
}

TEST(ProfileStore, MissingFileLoadsEmptyAndSilently) {
    TempDir dir;
    ProfileStore store(dir.file("SAVEDATA/profiles.bin"));
    CaptureStderr();
    EXPECT_TRUE(store.load());
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(store.size(), 0u);
}

TEST(ProfileStore, SaveAndLoadRoundTripLeavesNoTempFile) {
    TempDir dir;
    const std::string path = dir.file("SAVEDATA/profiles.bin");
    ProfileStore store(path);
    store.update(recordOf(1, 10));
    store.update(recordOf(2, 20));
    ASSERT_TRUE(store.save());
    EXPECT_FALSE(fs::exists(path + ".tmp"));

    ProfileStore reloaded(path);
    ASSERT_TRUE(reloaded.load());
    EXPECT_EQ(reloaded.records(), store.records());
}

TEST(ProfileStore, UpdateOverwritesAndClampsRings) {
    ProfileStore store("unused");
    store.update(recordOf(1, 10));
    ProfileRecord changed = recordOf(1, kRingCap + 50);
    changed.character = 5;
    store.update(changed);
    ASSERT_EQ(store.size(), 1u);
    const ProfileRecord* found = store.find(keyOf(1));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->rings, kRingCap);
    EXPECT_EQ(found->character, 5);
    EXPECT_EQ(store.find(keyOf(9)), nullptr);
}

TEST(ProfileStore, ZeroKeyIsNeverStored) {
    ProfileStore store("unused");
    ProfileRecord record = recordOf(1, 10);
    record.profileKey = {};
    store.update(record);
    EXPECT_EQ(store.size(), 0u);
}

TEST(ProfileStore, FailedSaveKeepsOldFile) {
    TempDir dir;
    const std::string path = dir.file("profiles.bin");
    ProfileStore store(path);
    store.update(recordOf(1, 10));
    ASSERT_TRUE(store.save());
    const std::vector<uint8_t> saved = readBytes(path);

    fs::create_directory(path + ".tmp");
    store.update(recordOf(2, 20));
    EXPECT_FALSE(store.save());
    EXPECT_EQ(readBytes(path), saved);
}

void expectRejectedAndKeptAside(const std::vector<uint8_t>& content) {
    TempDir dir;
    const std::string path = dir.file("profiles.bin");
    writeBytes(path, content);
    ProfileStore store(path);
    CaptureStderr();
    EXPECT_FALSE(store.load());
    const std::string errors = GetCapturedStderr();
    EXPECT_EQ(store.size(), 0u);

    EXPECT_FALSE(fs::exists(path));
    const std::vector<std::string> entries = dir.entries();
    ASSERT_EQ(entries.size(), 1u);
    const std::string aside = dir.file(entries[0]);
    EXPECT_EQ(readBytes(aside), content);
    EXPECT_EQ(errors, "Warning: ignored invalid profile store " + path +
                          "\nWarning: kept rejected profile store " + path + " as " + aside + "\n");

    // The next save writes a fresh file and leaves the rejected one alone.
    store.update(recordOf(4, 40));
    ASSERT_TRUE(store.save());
    EXPECT_EQ(readBytes(aside), content);
    ProfileStore reloaded(path);
    EXPECT_TRUE(reloaded.load());
    EXPECT_EQ(reloaded.size(), 1u);
}

TEST(ProfileStore, BadHeaderIsReportedAndKeptAside) {
    auto bytes = fileOf({recordOf(1, 10)});
    bytes[4] = 2;
    expectRejectedAndKeptAside(bytes);
}

TEST(ProfileStore, TrailingByteIsReportedAndKeptAside) {
    auto bytes = fileOf({recordOf(1, 10), recordOf(2, 20)});
    bytes.push_back(0);
    expectRejectedAndKeptAside(bytes);
}

}  // namespace
}  // namespace karst
