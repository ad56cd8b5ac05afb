// The Pibo store: its file codec and every rule that rejects a file, the
// table's id rules, saving and loading, and what a rejected file leaves.
#include "garden/pibo_store.h"

#include <gtest/gtest.h>

#include "net/coding.h"
#include "support/temp_dir.h"

namespace karst {
namespace {

using File = std::vector<uint8_t>;

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

File twoRecordFile(uint64_t nextPiboId = kFirstServerPiboId) {
    const std::vector<PiboRecord> records{sampleRecord(11, 0xA1), sampleRecord(13, 0xB2)};
    return encodePiboStore(records, nextPiboId);
}

uint8_t* recordAt(File& file, size_t index) {
    return file.data() + kPiboHeaderSize + index * kPiboRecordSize;
}

uint8_t& typeOfSecond(File& file) { return recordAt(file, 1)[68 + kPiboTypeOffset]; }

TEST(PiboStoreCodec, RoundTripKeepsEveryPersistedField) {
    const File file = twoRecordFile(0x8000000000000011ull);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "KPB5");
    const DecodedPiboStore decoded = decodePiboStore(file);
    ASSERT_EQ(decoded.status, PiboStoreStatus::Loaded);
    ASSERT_EQ(decoded.records.size(), 2u);
    EXPECT_EQ(decoded.records[1].owner, keyFilledWith(0xB2));
    EXPECT_EQ(encodePiboStore(decoded.records, decoded.nextPiboId), file);
}

TEST(PiboStoreCodec, EachFaultRejectsTheWholeFile) {
    struct Case {
        const char* what;
        void (*change)(File&);
        PiboStoreStatus status;
    };
    using enum PiboStoreStatus;
    const Case cases[] = {
        {"short header", [](File& f) { f.resize(kPiboHeaderSize - 1); }, BadHeader},
        {"magic", [](File& f) { f[3] = '6'; }, BadHeader},
        {"version", [](File& f) { f[4] = 2; }, BadHeader},
        {"count", [](File& f) { putU32(f.data() + 8, kMaxPiboRecordsInHeader + 1); }, BadHeader},
        {"short record", [](File& f) { f.pop_back(); }, BadRecords},
        {"id 0", [](File& f) { putU64(recordAt(f, 1), 0); }, BadRecords},
        {"type 0", [](File& f) { typeOfSecond(f) = 0; }, BadRecords},
        {"type 26", [](File& f) { typeOfSecond(f) = 26; }, BadRecords},
        {"type 25", [](File& f) { typeOfSecond(f) = 25; }, Loaded},
        {"reserved bytes", [](File& f) { f[6] = 5; }, Loaded},
    };
    for (const Case& c : cases) {
        File file = twoRecordFile();
        c.change(file);
        const DecodedPiboStore decoded = decodePiboStore(file);
        EXPECT_EQ(decoded.status, c.status) << c.what;
        EXPECT_EQ(decoded.records.size(), c.status == Loaded ? 2u : 0u) << c.what;
    }
    // A count above the limit is believed only when the file holds every record.
    const File file = twoRecordFile();
    EXPECT_EQ(decodePiboStore(file, 1).status, Loaded);
    EXPECT_EQ(decodePiboStore(std::span(file).first(file.size() - 1), 1).status, BadHeader);
}

TEST(PiboStoreCodec, FirstRecordOfAnIdWinsAndALowNextIdIsRaised) {
    File file = twoRecordFile(7);
    putU64(recordAt(file, 1), 11);
    recordAt(file, 0)[50] = 7;  // any non-zero pending flag means pending
    file.insert(file.end(), {0xDE, 0xAD, 0xBE});  // bytes after the last record are ignored
    const DecodedPiboStore decoded = decodePiboStore(file);
    ASSERT_EQ(decoded.status, PiboStoreStatus::Loaded);
    ASSERT_EQ(decoded.records.size(), 1u);
    EXPECT_EQ(decoded.records[0].owner, keyFilledWith(0xA1));
    EXPECT_EQ(decoded.records[0].pendingDelivery, 1);
    EXPECT_EQ(decoded.nextPiboId, kFirstServerPiboId);
}

TEST(PiboStoreTable, FirstInsertWinsAndAllocationSkipsUsedIds) {
    // Registration compares this against the id a client derives; pinned here.
    EXPECT_EQ(derivePiboId(keyFilledWith(0x01), 5), 0x69AF83054C55EE71ull);
    PiboStore store("unused.bin");
    EXPECT_TRUE(store.insert(sampleRecord(kFirstServerPiboId + 2, 0x01)));
    EXPECT_FALSE(store.insert(sampleRecord(kFirstServerPiboId + 2, 0x02)));
    EXPECT_FALSE(store.insert(sampleRecord(0, 0x03)));
    EXPECT_EQ(store.find(kFirstServerPiboId + 2)->owner, keyFilledWith(0x01));
    EXPECT_EQ(store.size(), 1u);
    EXPECT_EQ(store.allocatePiboId(), kFirstServerPiboId);
    EXPECT_EQ(store.allocatePiboId(), kFirstServerPiboId + 4);
    EXPECT_EQ(store.nextPiboId(), kFirstServerPiboId + 6);
}

TEST(PiboStoreFile, SaveThenLoadKeepsOrderAndNotPresence) {
    testing::TempDir dir;
    const std::string path = dir.file("pibo.bin");
    PiboStore first(path);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(first.load());  // a missing file is an empty store, silently
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    PiboRecord present = sampleRecord(21, 0x44);
    present.room = RoomKey{39, 0, 0, 1};
    present.present = present.hasState = 1;
    ASSERT_TRUE(first.insert(present));
    ASSERT_TRUE(first.insert(sampleRecord(17, 0x55)));
    first.allocatePiboId();
    ASSERT_TRUE(first.save());
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"pibo.bin"});

    PiboStore second(path);
    ASSERT_TRUE(second.load());
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second.records()[1].id, 17u);
    EXPECT_EQ(second.nextPiboId(), kFirstServerPiboId + 2);
    EXPECT_EQ(second.records()[0].room, kNoRoom);
    EXPECT_EQ(second.records()[0].present, 0);
    EXPECT_EQ(second.records()[0].hasState, 0);
}

// The rejected file itself goes aside by the policy both stores share; what is
// the Pibo store's own is what stays in the table.
TEST(PiboStoreFile, RefusedHeaderKeepsTheTableAndRefusedRecordsEmptyIt) {
    for (const bool badHeader : {true, false}) {
        testing::TempDir dir;
        File bytes = twoRecordFile();
        (badHeader ? bytes[0] : typeOfSecond(bytes)) = 0;
        testing::writeBytes(dir.file("pibo.bin"), bytes);
        PiboStore store(dir.file("pibo.bin"));
        ASSERT_TRUE(store.insert(sampleRecord(5, 0x01)));
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(store.load());
        ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(store.size(), badHeader ? 1u : 0u) << (badHeader ? "bad header" : "bad record");
    }
}

}  // namespace
}  // namespace karst
