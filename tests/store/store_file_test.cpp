// The policy both store files share, asked of each store: a file that does not
// load is reported, kept aside unchanged under a name no earlier rejected file
// holds, and never written over, even while it cannot be moved aside.
#include "store/store_file.h"

#include "garden/pibo_store.h"
#include "net/clock.h"
#include "store/file_replace.h"
#include "store/profile_store.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <regex>

namespace karst {
namespace {

using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

ProfileKey keyOf(uint8_t byte) {
    ProfileKey key;
    key.fill(byte);
    return key;
}

struct ProfileSide {
    static constexpr const char* kWhat = "profile store";
    // A trailing byte refuses a profile store.
    static Bytes refusedFile() {
        Bytes bytes = encodeProfileStore({});
        bytes.push_back(0);
        return bytes;
    }
    explicit ProfileSide(const std::string& path) : store(path) {}
    void addRecord() {
        ProfileRecord record;
        record.profileKey = keyOf(7);
        store.update(record);
    }
    ProfileStore store;
};

struct PiboSide {
    static constexpr const char* kWhat = "Pibo store";
    static Bytes refusedFile() {
        Bytes bytes = encodePiboStore({}, kFirstServerPiboId);
        bytes[0] = 'X';
        return bytes;
    }
    explicit PiboSide(const std::string& path) : store(path) {}
    void addRecord() {
        PiboRecord record = makeFreshPiboRecord(derivePiboId(keyOf(7), 0), keyOf(7));
        record.data[kPiboTypeOffset] = kPiboTypeEgg + 1;
        ASSERT_TRUE(store.insert(record));
    }
    PiboStore store;
};

template <class Side>
class StoreFile : public ::testing::Test {};
using Sides = ::testing::Types<ProfileSide, PiboSide>;
TYPED_TEST_SUITE(StoreFile, Sides);

TYPED_TEST(StoreFile, RefusedFileIsReportedKeptAsideUnchangedAndTheNextSaveStartsFresh) {
    TempDir dir;
    const std::string path = dir.file("store.bin");
    const Bytes refused = TypeParam::refusedFile();
    writeBytes(path, refused);
    TypeParam side(path);
    CaptureStderr();
    EXPECT_FALSE(side.store.load());
    const std::string warnings = GetCapturedStderr();
    EXPECT_EQ(side.store.size(), 0u);
    const std::vector<std::string> entries = dir.entries();
    ASSERT_EQ(entries.size(), 1u);
    const std::string aside = dir.file(entries[0]);
    EXPECT_TRUE(std::regex_match(entries[0], std::regex(R"(store\.bin\.rejected-\d{8}T\d{6}Z)"))) << aside;
    EXPECT_EQ(readBytes(aside), refused);
    const std::string what = TypeParam::kWhat;
    EXPECT_EQ(warnings, "Warning: ignored invalid " + what + " " + path + "\nWarning: kept rejected " + what + " " +
                            path + " as " + aside + "\n");

    side.addRecord();
    ASSERT_TRUE(side.store.save());
    EXPECT_EQ(readBytes(aside), refused);
    TypeParam reloaded(path);
    EXPECT_TRUE(reloaded.store.load());
    EXPECT_EQ(reloaded.store.size(), 1u);
}

TYPED_TEST(StoreFile, RefusedFileThatCannotBeMovedAsideIsNeverWrittenOver) {
    // Taking 2,000 names can outlast a second on a busy machine: the clock waits.
    freezeClocksForTesting(true);
    struct Thaw {
        ~Thaw() { freezeClocksForTesting(false); }
    } thaw;
    TempDir dir;
    const std::string path = dir.file("store.bin");
    const Bytes refused = TypeParam::refusedFile();
    writeBytes(path, refused);
    for (const uint64_t second : {wallClockSeconds(), wallClockSeconds() + 1}) {
        const std::string base = "store.bin" + std::string(kRejectedFileInfix) + formatUtcStamp(second);
        dir.write(base, "");
        for (int attempt = 2; attempt <= 1000; ++attempt) dir.write(base + "-" + std::to_string(attempt), "");
    }
    TypeParam side(path);
    CaptureStderr();
    EXPECT_FALSE(side.store.load());
    EXPECT_NE(GetCapturedStderr().find("Warning: could not move rejected " + std::string(TypeParam::kWhat) + " " +
                                       path + " aside"),
              std::string::npos);
    side.addRecord();
    std::error_code error;
    EXPECT_FALSE(side.store.save(error));
    EXPECT_EQ(error, std::make_error_code(std::errc::file_exists));
    EXPECT_EQ(readBytes(path), refused);

    // No earlier rejected file was written over; once a name is free the
    // refused file goes there first, then the save lands.
    for (const std::string& entry : dir.entries()) {
        if (entry == "store.bin") continue;
        EXPECT_EQ(fs::file_size(dir.file(entry)), 0u) << entry;
        fs::remove(dir.file(entry));
    }
    CaptureStderr();
    EXPECT_TRUE(side.store.save(error));
    GetCapturedStderr();
    ASSERT_EQ(dir.entries().size(), 2u);
    EXPECT_NE(readBytes(path), refused);
}

}  // namespace
}  // namespace karst
