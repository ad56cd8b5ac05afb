// A fresh directory under the system's temporary directory for one test,
// removed with everything in it when the test ends; optionally the working
// directory for the test's duration, for code that reads relative paths.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace karst::testing {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    // Names of the entries directly inside the directory.
    std::vector<std::string> entries() const;
    // Writes `contents` byte for byte and returns the file's full path.
    std::string write(std::string_view name, std::string_view contents) const;
    // Makes the directory the working directory until the object goes.
    void enter();

private:
    std::filesystem::path path_;
    std::filesystem::path previousWorkingDir_;
};

}  // namespace karst::testing
