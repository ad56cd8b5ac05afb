// File replacement: atomic swap, and failure paths that must keep the old file.
#include "store/file_replace.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace karst {
namespace {

using testing::bytesOf;
using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;
namespace fs = std::filesystem;

TEST(FileReplace, NewContentReplacesTheOldWholeAndNoTempFileRemains) {
    TempDir dir;
    const std::string path = dir.file("store.bin");
    writeBytes(path, bytesOf("a much longer old content"));
    writeBytes(path + ".tmp", bytesOf("half-written leftover of a crash"));
    ASSERT_TRUE(replaceFileFromTemp(path, bytesOf("new")));
    EXPECT_EQ(readBytes(path), bytesOf("new"));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"store.bin"});
}

TEST(FileReplace, FailureCarriesTheSystemsReason) {
    TempDir dir;
    std::error_code error;
    // A regular file where the directory should be refuses writes even to root.
    writeBytes(dir.file("blocker"), bytesOf("x"));
    EXPECT_FALSE(replaceFileFromTemp(dir.file("blocker/store.bin"), bytesOf("new"), error));
    EXPECT_EQ(error, std::errc::not_a_directory);
    EXPECT_EQ(readBytes(dir.file("blocker")), bytesOf("x"));

    // A full disk: the temporary name leads to /dev/full, which takes no byte.
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const std::string path = dir.file("store.bin");
    writeBytes(path, bytesOf("old"));
    fs::create_symlink("/dev/full", path + ".tmp");
    EXPECT_FALSE(replaceFileFromTemp(path, bytesOf("new"), error));
    EXPECT_EQ(error.message(), "No space left on device");
    EXPECT_EQ(readBytes(path), bytesOf("old"));
    EXPECT_TRUE(replaceFileFromTemp(path, bytesOf("new"), error));
    EXPECT_FALSE(error);
}

TEST(FileReplace, DirectoryInThePlaceOfTheFileIsLeftAlone) {
    TempDir dir;
    const std::string directoryTarget = dir.file("dir.bin");
    fs::create_directory(directoryTarget);
    EXPECT_FALSE(replaceFileFromTemp(directoryTarget, bytesOf("new")));
    EXPECT_TRUE(fs::is_directory(directoryTarget));
    EXPECT_FALSE(fs::exists(directoryTarget + ".tmp"));
}

}  // namespace
}  // namespace karst
