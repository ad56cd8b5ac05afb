// Profile store: the file codec and its strict loading rules, saving, fruit prices.
#include "store/profile_store.h"

#include "game/catalogue.h"
#include "net/coding.h"
#include "support/temp_dir.h"

#include <functional>
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
using Bytes = std::vector<uint8_t>;

ProfileRecord recordOf(uint8_t seed, uint32_t rings) {
    ProfileRecord record;
    for (size_t i = 0; i < record.profileKey.size(); ++i)
        record.profileKey[i] = static_cast<uint8_t>(seed + i);
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

TEST(ProfileStoreCodec, RoundTripKeepsEveryFieldIgnoresReservedBytesAndTheFirstRecordWins) {
    const ProfileTable table = tableOf({recordOf(1, 0), recordOf(2, 500), recordOf(3, kRingCap)});
    Bytes bytes = encodeProfileStore(table);
    bytes[6] = 5;
    bytes[7] = 0xFF;
    const Bytes later = encodeProfileStore(tableOf({recordOf(2, 900)}));
    bytes.insert(bytes.end(), later.begin() + kProfileHeaderSize, later.end());
    putU32(bytes.data() + 8, 4);
    const DecodedProfileStore decoded = decodeProfileStore(bytes);
    ASSERT_EQ(decoded.status, ProfileStoreStatus::Loaded);
    EXPECT_EQ(decoded.table, table);

    const Bytes empty = encodeProfileStore({});
    EXPECT_EQ(empty, (Bytes{'K', 'P', 'R', '6', 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(decodeProfileStore(empty).status, ProfileStoreStatus::Loaded);
}

TEST(ProfileStoreCodec, EachFaultRejectsTheWholeFile) {
    const Bytes good = encodeProfileStore(tableOf({recordOf(1, 5), recordOf(2, 6)}));
    const size_t second = kProfileHeaderSize + kProfileRecordSize;
    const struct {
        const char* what;
        std::function<void(Bytes&)> spoil;
        ProfileStoreStatus status;
    } cases[] = {
        {"empty", [](Bytes& b) { b.clear(); }, ProfileStoreStatus::BadHeader},
        {"11 bytes", [](Bytes& b) { b.resize(11); }, ProfileStoreStatus::BadHeader},
        {"magic", [](Bytes& b) { b[3] = '5'; }, ProfileStoreStatus::BadHeader},
        {"version 2", [](Bytes& b) { b[4] = 2; }, ProfileStoreStatus::BadHeader},
        {"version 0x0101", [](Bytes& b) { b[5] = 1; }, ProfileStoreStatus::BadHeader},
        {"count over the limit",
         [](Bytes& b) { putU32(b.data() + 8, kMaxProfileRecordsInHeader + 1); },
         ProfileStoreStatus::BadHeader},
        {"short record", [](Bytes& b) { b.pop_back(); }, ProfileStoreStatus::BadRecords},
        {"trailing byte", [](Bytes& b) { b.push_back(0); }, ProfileStoreStatus::BadRecords},
        {"zero key",
         [&](Bytes& b) { std::fill_n(b.begin() + second, kProfileKeySize, 0); },
         ProfileStoreStatus::BadRecords},
        {"rings above the cap",
         [](Bytes& b) { putU32(b.data() + kProfileHeaderSize + 16, kRingCap + 1); },
         ProfileStoreStatus::BadRecords},
    };
    for (const auto& c : cases) {
        Bytes bytes = good;
        c.spoil(bytes);
        const DecodedProfileStore decoded = decodeProfileStore(bytes);
        EXPECT_EQ(decoded.status, c.status) << c.what;
        EXPECT_TRUE(decoded.table.empty()) << c.what;
    }
}

// What a server that grew past the header limit wrote, it reads back.
TEST(ProfileStoreCodec, CountAboveAMillionIsJudgedByExactFileSize) {
    Bytes header = encodeProfileStore({});
    putU32(header.data() + 8, kMaxProfileRecordsInHeader + 1);
    const uint64_t exact =
        kProfileHeaderSize + uint64_t{kMaxProfileRecordsInHeader + 1} * kProfileRecordSize;
    EXPECT_EQ(checkProfileStoreShape(header, exact), ProfileStoreStatus::Loaded);
    EXPECT_EQ(checkProfileStoreShape(header, exact + 1), ProfileStoreStatus::BadHeader);
    EXPECT_EQ(checkProfileStoreShape(header, exact - 1), ProfileStoreStatus::BadHeader);
    putU32(header.data() + 8, kMaxProfileRecordsInHeader);
    EXPECT_EQ(checkProfileStoreShape(header, exact - 1), ProfileStoreStatus::BadRecords);
}

TEST(ProfileStore, FruitPrices) {
    const std::map<int, uint32_t> fruits{{3, 25}, {4, 25}, {5, 50}, {6, 50}, {11, 100}, {24, 10}};
    for (int code = -128; code <= 127; ++code) {
        const auto it = fruits.find(code);
        EXPECT_EQ(fruitPrice(static_cast<int8_t>(code)), it == fruits.end() ? 0u : it->second)
            << code;
    }
}

TEST(ProfileStore, SavesReloadsAndAFailedSaveKeepsTheOldFile) {
    TempDir dir;
    const std::string path = dir.file("SAVEDATA/profiles.bin");
    ProfileStore store(path);
    CaptureStderr();
    EXPECT_TRUE(store.load());  // no file yet: empty and silent
    EXPECT_EQ(GetCapturedStderr(), "");
    store.update(recordOf(1, 10));
    ProfileRecord changed = recordOf(1, kRingCap + 50);
    changed.character = 5;
    store.update(changed);
    store.update(recordOf(2, 20));
    ProfileRecord keyless = recordOf(3, 30);
    keyless.profileKey = {};
    store.update(keyless);
    ASSERT_EQ(store.size(), 2u);
    EXPECT_EQ(store.find(changed.profileKey)->rings, kRingCap);
    EXPECT_EQ(store.find(changed.profileKey)->character, 5);
    ASSERT_TRUE(store.save());
    EXPECT_FALSE(fs::exists(path + ".tmp"));

    ProfileStore reloaded(path);
    ASSERT_TRUE(reloaded.load());
    EXPECT_EQ(reloaded.records(), store.records());

    const Bytes saved = readBytes(path);
    fs::create_directory(path + ".tmp");
    store.update(recordOf(4, 40));
    EXPECT_FALSE(store.save());
    EXPECT_EQ(readBytes(path), saved);
}

}  // namespace
}  // namespace karst
