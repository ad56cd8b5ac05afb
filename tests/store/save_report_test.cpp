// Failing saves speak once: the reason reaches the caller in the system's words,
// one warning opens a run of failures, one line closes it.
#include "store/save_report.h"

#include "store/file_replace.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <filesystem>

namespace karst {
namespace {

using testing::bytesOf;
using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;
namespace fs = std::filesystem;

TEST(FileReplace, FailureCarriesTheSystemsReason) {
    TempDir dir;
    std::error_code error;
    // A regular file where the directory should be refuses writes even to root.
    writeBytes(dir.file("blocker"), bytesOf("x"));
    EXPECT_FALSE(replaceFileFromTemp(dir.file("blocker/store.bin"), bytesOf("new"), error));
    EXPECT_EQ(error, std::errc::not_a_directory);

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

TEST(SaveReport, OneWarningPerRunOfFailuresAndOneLineWhenSavingWorksAgain) {
    SaveReport report("profile store", "SAVEDATA/p.bin");
    const std::error_code full = std::make_error_code(std::errc::no_space_on_device);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    report.record(true, {});
    report.record(false, full);
    report.record(false, full);
    report.record(false, std::make_error_code(std::errc::permission_denied));
    EXPECT_TRUE(report.failing());
    report.record(true, {});
    report.record(true, {});
    report.record(false, full);
    report.record(true, {});
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string warning =
        "Warning: could not save profile store SAVEDATA/p.bin: No space left on device\n";
    EXPECT_EQ(err, warning + warning);
    EXPECT_EQ(out,
              "Saved profile store SAVEDATA/p.bin again after 3 failed attempts\n"
              "Saved profile store SAVEDATA/p.bin again after 1 failed attempt\n");
    EXPECT_FALSE(report.failing());
    EXPECT_EQ(report.saves(), 8u);
    EXPECT_EQ(report.failures(), 4u);
}

}  // namespace
}  // namespace karst
