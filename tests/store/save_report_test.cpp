// Failing saves speak once: one warning opens a run of failures, one line closes it.
#include "store/save_report.h"

#include <gtest/gtest.h>

namespace karst {
namespace {

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
