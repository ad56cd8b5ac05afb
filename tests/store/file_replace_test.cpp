// File replacement: atomic swap, failure paths that must keep the old file, rejected files set aside.
#include "store/file_replace.h"

#include "net/clock.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <regex>
#include <set>

namespace karst {
namespace {

using testing::bytesOf;
using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;
namespace fs = std::filesystem;

TEST(FileReplace, CreatesMissingDirectoriesAndLeavesNoTempFile) {
    TempDir dir;
    const std::string path = dir.file("a/b/store.bin");
    ASSERT_TRUE(replaceFileFromTemp(path, bytesOf("first")));
    EXPECT_EQ(readBytes(path), bytesOf("first"));
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

TEST(FileReplace, ReplacesOldContentWhole) {
    TempDir dir;
    const std::string path = dir.file("store.bin");
    writeBytes(path, bytesOf("a much longer old content"));
    ASSERT_TRUE(replaceFileFromTemp(path, bytesOf("new")));
    EXPECT_EQ(readBytes(path), bytesOf("new"));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"store.bin"});
}

TEST(FileReplace, StaleTempFileFromACrashIsOverwritten) {
    TempDir dir;
    const std::string path = dir.file("store.bin");
    writeBytes(path + ".tmp", bytesOf("half-written leftover"));
    ASSERT_TRUE(replaceFileFromTemp(path, bytesOf("good")));
    EXPECT_EQ(readBytes(path), bytesOf("good"));
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

TEST(FileReplace, TargetThatIsADirectoryFailsAndRemovesTempFile) {
    TempDir dir;
    const std::string path = dir.file("store.bin");
    fs::create_directory(path);
    writeBytes(dir.file("store.bin/inside"), bytesOf("keep"));
    EXPECT_FALSE(replaceFileFromTemp(path, bytesOf("new")));
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_EQ(readBytes(dir.file("store.bin/inside")), bytesOf("keep"));
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

TEST(FileReplace, BlockedTempNameFailsAndKeepsOldFile) {
    TempDir dir;
    const std::string path = dir.file("store.bin");
    writeBytes(path, bytesOf("old"));
    fs::create_directory(path + ".tmp");  // not ours: must not be removed
    EXPECT_FALSE(replaceFileFromTemp(path, bytesOf("new")));
    EXPECT_EQ(readBytes(path), bytesOf("old"));
    EXPECT_TRUE(fs::is_directory(path + ".tmp"));
}

TEST(FileReplace, ParentThatIsAFileFailsWithoutWriting) {
    TempDir dir;
    writeBytes(dir.file("blocker"), bytesOf("x"));
    const std::string path = dir.file("blocker/store.bin");
    std::error_code error;
    EXPECT_FALSE(ensureParentDirectories(path, error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(replaceFileFromTemp(path, bytesOf("new")));
    EXPECT_EQ(readBytes(dir.file("blocker")), bytesOf("x"));
}

TEST(FileReplace, UtcStampFormat) {
    EXPECT_EQ(formatUtcStamp(0), "19700101T000000Z");
    EXPECT_EQ(formatUtcStamp(1'700'000'000), "20231114T221320Z");
    EXPECT_EQ(formatUtcStamp(951'827'696), "20000229T123456Z");  // leap day
}

TEST(FileReplace, RejectedFileIsRenamedAsideUnchanged) {
    TempDir dir;
    const std::string path = dir.file("store.bin");
    const std::vector<uint8_t> content{0, 1, 2, 0xFF, '\r', '\n'};
    writeBytes(path, content);
    const std::optional<std::string> aside = keepRejectedFileAside(path);
    ASSERT_TRUE(aside.has_value());
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(fs::path(*aside).parent_path(), dir.path());
    EXPECT_TRUE(std::regex_match(fs::path(*aside).filename().string(),
                                 std::regex(R"(store\.bin\.rejected-\d{8}T\d{6}Z)")));
    EXPECT_EQ(readBytes(*aside), content);
}

TEST(FileReplace, RejectedFileNeverOverwritesAnEarlierOne) {
    TempDir dir;
    const std::string path = dir.file("store.bin");
    // Occupy the plain names for the next few seconds, whichever second the call lands in.
    const uint64_t now = wallClockSeconds();
    std::set<std::string> expected;
    for (uint64_t t = now; t <= now + 5; ++t) {
        const std::string name = "store.bin.rejected-" + formatUtcStamp(t);
        writeBytes(dir.file(name), bytesOf("earlier"));
        expected.insert(dir.file(name + "-2"));
    }
    writeBytes(path, bytesOf("latest"));
    const std::optional<std::string> aside = keepRejectedFileAside(path);
    ASSERT_TRUE(aside.has_value());
    EXPECT_TRUE(expected.count(*aside)) << *aside;
    EXPECT_EQ(readBytes(*aside), bytesOf("latest"));
    for (uint64_t t = now; t <= now + 5; ++t)
        EXPECT_EQ(readBytes(dir.file("store.bin.rejected-" + formatUtcStamp(t))),
                  bytesOf("earlier"));
}

TEST(FileReplace, MissingFileCannotBeKeptAside) {
    TempDir dir;
    EXPECT_FALSE(keepRejectedFileAside(dir.file("absent.bin")).has_value());
}

}  // namespace
}  // namespace karst
