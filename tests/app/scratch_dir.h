// A fresh directory under the system temporary directory for one test, removed
// with everything in it when the test ends; optionally the working directory
// for the test's duration, for code that reads paths relative to it.
#pragma once

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <string_view>

namespace karst::test_support {

class ScratchDir {
public:
    ScratchDir() {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "karst_";
        name += test != nullptr ? test->name() : "test";
        name += "_" + std::to_string(std::random_device{}());
        path_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        if (!previousWorkingDir_.empty()) std::filesystem::current_path(previousWorkingDir_);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Writes `contents` byte for byte and returns the file's full path.
    std::string write(std::string_view name, std::string_view contents) const {
        const std::filesystem::path file = path_ / name;
        std::ofstream out(file, std::ios::binary);
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        EXPECT_TRUE(out.good()) << file;
        return file.string();
    }

    void enter() {
        previousWorkingDir_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }

private:
    std::filesystem::path path_;
    std::filesystem::path previousWorkingDir_;
};

}  // namespace karst::test_support
