#include "garden/pibo_store.h"

#include "net/coding.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace karst {
namespace {

namespace fs = std::filesystem;

ProfileKey keyFilledWith(uint8_t byte) {
    ProfileKey key;
    key.fill(byte);
    return key;
}

PiboRecord sampleRecord(uint64_t id, uint8_t pattern) {
    PiboRecord record = makeFreshPiboRecord(id, keyFilledWith(pattern));
    record.parentA = 0x1111 + pattern;
    record.parentB = 0x2222 + pattern;
    record.breedReadyAt = 1'700'000'000 + pattern;
    record.localSlot = 5;
    record.stage = kPiboStageEgg;
    record.pendingDelivery = 1;
    record.name = {'E', 'g', 'g'};
    record.data.fill(pattern);
    record.data[kPiboTypeOffset] = kPiboTypeEgg;
    return record;
}

void expectSamePersistedFields(const PiboRecord& a, const PiboRecord& b) {
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(a.owner, b.owner);
    EXPECT_EQ(a.parentA, b.parentA);
    EXPECT_EQ(a.parentB, b.parentB);
    EXPECT_EQ(a.breedReadyAt, b.breedReadyAt);
    EXPECT_EQ(a.localSlot, b.localSlot);
    EXPECT_EQ(a.stage, b.stage);
    EXPECT_EQ(a.pendingDelivery, b.pendingDelivery);
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.data, b.data);
}

std::vector<uint8_t> twoRecordFile(uint64_t nextPiboId = kFirstServerPiboId) {
    const std::vector<PiboRecord> records{sampleRecord(11, 0xA1), sampleRecord(13, 0xB2)};
    return encodePiboStore(records, nextPiboId);
}

uint8_t* recordAt(std::vector<uint8_t>& file, size_t index) {
    return file.data() + kPiboHeaderSize + index * kPiboRecordSize;
}

TEST(PiboStoreCodec, RoundTripPinsHeaderAndRecordOffsets) {
    std::vector<uint8_t> file = twoRecordFile(0x8000000000000011ull);
    ASSERT_EQ(file.size(), kPiboHeaderSize + 2 * kPiboRecordSize);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "KPB5");
    EXPECT_EQ(getU16(file.data() + 4), 1);
    EXPECT_EQ(getU16(file.data() + 6), 0);
    EXPECT_EQ(getU32(file.data() + 8), 2u);
    EXPECT_EQ(getU64(file.data() + 12), 0x8000000000000011ull);
    const uint8_t* second = recordAt(file, 1);
    EXPECT_EQ(getU64(second), 13u);
    EXPECT_EQ(second[8], 0xB2);
    EXPECT_EQ(getU64(second + 40), 1'700'000'000u + 0xB2);
    EXPECT_EQ(second[48], 5);
    EXPECT_EQ(second[50], 1);
    EXPECT_EQ(second[52], 'E');
    EXPECT_EQ(second[68 + kPiboTypeOffset], kPiboTypeEgg);

    const DecodedPiboStore decoded = decodePiboStore(file);
    ASSERT_EQ(decoded.status, PiboStoreStatus::Loaded);
    ASSERT_EQ(decoded.records.size(), 2u);
    expectSamePersistedFields(decoded.records[0], sampleRecord(11, 0xA1));
    expectSamePersistedFields(decoded.records[1], sampleRecord(13, 0xB2));
    EXPECT_EQ(decoded.nextPiboId, 0x8000000000000011ull);
}

TEST(PiboStoreCodec, HeaderFaultsRejectAsBadHeader) {
    const std::vector<uint8_t> good = twoRecordFile();
    EXPECT_EQ(decodePiboStore(std::span(good).first(kPiboHeaderSize - 1)).status,
              PiboStoreStatus::BadHeader);
    auto badMagic = good;
    badMagic[3] = '6';
    EXPECT_EQ(decodePiboStore(badMagic).status, PiboStoreStatus::BadHeader);
    auto badVersion = good;
    badVersion[4] = 2;
    EXPECT_EQ(decodePiboStore(badVersion).status, PiboStoreStatus::BadHeader);
    auto countTooHigh = good;
    putU32(countTooHigh.data() + 8, kMaxPiboRecordsInHeader + 1);
    EXPECT_EQ(decodePiboStore(countTooHigh).status, PiboStoreStatus::BadHeader);
    auto reservedSet = good;
    reservedSet[6] = 5;
    EXPECT_EQ(decodePiboStore(reservedSet).status, PiboStoreStatus::Loaded);
}

TEST(PiboStoreCodec, CountAboveLimitLoadsWhenFileHoldsEveryRecord) {
    const std::vector<uint8_t> file = twoRecordFile();
    const DecodedPiboStore decoded = decodePiboStore(file, 1);
    EXPECT_EQ(decoded.status, PiboStoreStatus::Loaded);
    EXPECT_EQ(decoded.records.size(), 2u);
    EXPECT_EQ(decodePiboStore(std::span(file).first(file.size() - 1), 1).status,
              PiboStoreStatus::BadHeader);
}

TEST(PiboStoreCodec, AnyBadRecordRejectsWholeFile) {
    const std::vector<uint8_t> good = twoRecordFile();
    EXPECT_EQ(decodePiboStore(std::span(good).first(good.size() - 1)).status,
              PiboStoreStatus::BadRecords);
    auto idZero = good;
    putU64(recordAt(idZero, 1), 0);
    EXPECT_EQ(decodePiboStore(idZero).status, PiboStoreStatus::BadRecords);
    for (uint8_t type : {0, 26}) {
        auto badType = good;
        recordAt(badType, 1)[68 + kPiboTypeOffset] = type;
        const DecodedPiboStore decoded = decodePiboStore(badType);
        EXPECT_EQ(decoded.status, PiboStoreStatus::BadRecords) << int(type);
        EXPECT_TRUE(decoded.records.empty());
    }
    auto type25 = good;
    recordAt(type25, 1)[68 + kPiboTypeOffset] = 25;
    EXPECT_EQ(decodePiboStore(type25).status, PiboStoreStatus::Loaded);
}

TEST(PiboStoreCodec, TrailingBytesDuplicatesAndPendingFlagsAreTolerated) {
    std::vector<uint8_t> file = twoRecordFile(7);
    putU64(recordAt(file, 1), 11);
    recordAt(file, 0)[50] = 7;
    file.insert(file.end(), {0xDE, 0xAD, 0xBE});
    const DecodedPiboStore decoded = decodePiboStore(file);
    ASSERT_EQ(decoded.status, PiboStoreStatus::Loaded);
    ASSERT_EQ(decoded.records.size(), 1u);
    EXPECT_EQ(decoded.records[0].owner, keyFilledWith(0xA1));
    EXPECT_EQ(decoded.records[0].pendingDelivery, 1);
    EXPECT_EQ(decoded.nextPiboId, kFirstServerPiboId);
}

TEST(PiboLayouts, AppearAndDeliveryPinFieldOffsets) {
    PiboRecord record = sampleRecord(0x0102030405060708ull, 0x33);
    record.holderPlayerId = 42;
    record.room = RoomKey{40, 1, 2, 9};
    record.present = 1;
    std::vector<uint8_t> appear(kPiboAppearSize, 0xFF);
    encodePiboAppear(appear.data(), record);
    EXPECT_EQ(getU64(appear.data()), record.id);
    EXPECT_EQ(getU32(appear.data() + 8), 42u);
    EXPECT_EQ(decodeRoomKey(appear.data() + 12), record.room);
    EXPECT_EQ(appear[20], 5);
    EXPECT_EQ(appear[21], kPiboStageEgg);
    EXPECT_EQ(appear[22], 1);
    EXPECT_EQ(appear[23], 0);
    EXPECT_EQ(appear[24], 'E');
    EXPECT_TRUE(std::equal(record.data.begin(), record.data.end(), appear.begin() + 40));

    std::vector<uint8_t> delivery(kPiboDeliverySize, 0xFF);
    encodePiboDelivery(delivery.data(), record);
    EXPECT_EQ(getU64(delivery.data()), record.id);
    EXPECT_EQ(getU64(delivery.data() + 8), record.parentA);
    EXPECT_EQ(getU64(delivery.data() + 16), record.parentB);
    EXPECT_EQ(delivery[24], 'E');
    EXPECT_TRUE(std::equal(record.data.begin(), record.data.end(), delivery.begin() + 40));
}

TEST(PiboIds, DerivedIdsAreOddStableAndBelowServerRange) {
    EXPECT_EQ(derivePiboId(keyFilledWith(0x01), 5), 0x69AF83054C55EE71ull);
    for (uint8_t fill : {0x00, 0x7F, 0xFF}) {
        for (uint8_t slot = 0; slot < kLocalSlotCount; ++slot) {
            const uint64_t id = derivePiboId(keyFilledWith(fill), slot);
            EXPECT_EQ(id & 1, 1u);
            EXPECT_LT(id, kFirstServerPiboId - 1);
            EXPECT_EQ(id, derivePiboId(keyFilledWith(fill), slot));
        }
    }
    EXPECT_NE(derivePiboId(keyFilledWith(1), 0), derivePiboId(keyFilledWith(1), 1));
}

TEST(PiboStoreTable, InsertNeverReplacesAndAllocationSkipsUsedIds) {
    PiboStore store("unused.bin");
    EXPECT_TRUE(store.insert(sampleRecord(kFirstServerPiboId + 2, 0x01)));
    EXPECT_FALSE(store.insert(sampleRecord(kFirstServerPiboId + 2, 0x02)));
    EXPECT_FALSE(store.insert(sampleRecord(0, 0x03)));
    ASSERT_NE(store.find(kFirstServerPiboId + 2), nullptr);
    EXPECT_EQ(store.find(kFirstServerPiboId + 2)->owner, keyFilledWith(0x01));
    EXPECT_EQ(store.find(99), nullptr);
    EXPECT_EQ(store.size(), 1u);

    EXPECT_EQ(store.allocatePiboId(), kFirstServerPiboId);
    EXPECT_EQ(store.allocatePiboId(), kFirstServerPiboId + 4);
    EXPECT_EQ(store.nextPiboId(), kFirstServerPiboId + 6);
}

class PiboStoreFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               (std::string("karst_pibo_") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "pibo.bin").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    void writeFile(const std::vector<uint8_t>& bytes) {
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    static std::vector<uint8_t> readFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::vector<fs::path> filesInDir() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(dir_)) files.push_back(entry.path());
        return files;
    }

    fs::path dir_;
    std::string path_;
};

TEST_F(PiboStoreFile, MissingFileLoadsEmptyWithoutMessage) {
    PiboStore store(path_);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(store.load());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(store.size(), 0u);
    EXPECT_EQ(store.allocatePiboId(), kFirstServerPiboId);
    EXPECT_EQ(store.allocatePiboId(), kFirstServerPiboId + 2);
}

TEST_F(PiboStoreFile, SaveThenLoadKeepsOrderAndResetsPresence) {
    PiboStore first(path_);
    PiboRecord present = sampleRecord(21, 0x44);
    present.holderPlayerId = 3;
    present.room = RoomKey{39, 0, 0, 1};
    present.present = 1;
    present.lastState.fill(0x5A);
    present.lastStateNs = 123;
    present.hasState = 1;
    ASSERT_TRUE(first.insert(present));
    ASSERT_TRUE(first.insert(sampleRecord(17, 0x55)));
    first.allocatePiboId();
    ASSERT_TRUE(first.save());
    EXPECT_FALSE(fs::exists(path_ + ".tmp"));

    PiboStore second(path_);
    ASSERT_TRUE(second.load());
    ASSERT_EQ(second.size(), 2u);
    expectSamePersistedFields(second.records()[0], present);
    expectSamePersistedFields(second.records()[1], sampleRecord(17, 0x55));
    EXPECT_EQ(second.nextPiboId(), kFirstServerPiboId + 2);
    const PiboRecord& loaded = *second.find(21);
    EXPECT_EQ(loaded.holderPlayerId, 0u);
    EXPECT_EQ(loaded.room, kNoRoom);
    EXPECT_EQ(loaded.present, 0);
    EXPECT_EQ(loaded.lastState, emptyPiboState());
    EXPECT_EQ(decodeRoomKey(loaded.lastState.data() + kPiboStateRoomOffset), kNoRoom);
    EXPECT_EQ(loaded.lastStateNs, 0u);
    EXPECT_EQ(loaded.hasState, 0);
}

TEST_F(PiboStoreFile, BadHeaderWarnsKeepsTableAndSetsFileAsideUnchanged) {
    std::vector<uint8_t> bytes = twoRecordFile();
    bytes[0] = 'X';
    writeFile(bytes);
    PiboStore store(path_);
    ASSERT_TRUE(store.insert(sampleRecord(kFirstServerPiboId, 0x01)));
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(store.load());
    const std::string warnings = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(store.size(), 1u);
    EXPECT_EQ(store.nextPiboId(), kFirstServerPiboId);

    EXPECT_FALSE(fs::exists(path_));
    const std::vector<fs::path> files = filesInDir();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(readFile(files[0]), bytes);
    EXPECT_EQ(warnings, "Warning: ignored invalid Pibo store " + path_ + "\n" +
                            "Warning: kept rejected Pibo store " + path_ + " as " +
                            files[0].string() + "\n");
}

TEST_F(PiboStoreFile, BadRecordWarnsEmptiesTableAndSetsFileAside) {
    std::vector<uint8_t> bytes = twoRecordFile(0x8000000000000011ull);
    recordAt(bytes, 1)[68 + kPiboTypeOffset] = 0;
    writeFile(bytes);
    PiboStore store(path_);
    ASSERT_TRUE(store.insert(sampleRecord(5, 0x01)));
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(store.load());
    const std::string warnings = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(store.size(), 0u);
    EXPECT_EQ(store.nextPiboId(), kFirstServerPiboId);
    EXPECT_NE(warnings.find("Warning: ignored invalid Pibo store " + path_ + "\n"),
              std::string::npos);
    EXPECT_NE(warnings.find("Warning: kept rejected Pibo store "), std::string::npos);

    ASSERT_TRUE(store.save());
    const std::vector<fs::path> files = filesInDir();
    ASSERT_EQ(files.size(), 2u);
    const fs::path aside = files[0].string() == path_ ? files[1] : files[0];
    EXPECT_EQ(readFile(aside), bytes);
}

TEST_F(PiboStoreFile, StoredNextIdIsRaisedToServerRange) {
    writeFile(twoRecordFile(7));
    PiboStore low(path_);
    ASSERT_TRUE(low.load());
    EXPECT_EQ(low.nextPiboId(), kFirstServerPiboId);

    writeFile(twoRecordFile(0x8000000000000011ull));
    PiboStore high(path_);
    ASSERT_TRUE(high.load());
    EXPECT_EQ(high.allocatePiboId(), 0x8000000000000011ull);
}

}  // namespace
}  // namespace karst
