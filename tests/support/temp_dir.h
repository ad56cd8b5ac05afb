// A fresh directory under the system's temporary directory for one test,
// removed with everything in it when the test ends; optionally the working
// directory for the test's duration, for code that reads relative paths.
// Beside it, whole files read and written byte for byte.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
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

// An unreadable or missing file reads as empty.
std::vector<uint8_t> readBytes(const std::filesystem::path& path);
std::string fileText(const std::filesystem::path& path);
// Creates the parent directories the file needs.
void writeBytes(const std::filesystem::path& path, std::span<const uint8_t> bytes);
inline std::vector<uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

}  // namespace karst::testing
