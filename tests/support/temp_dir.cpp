#include "support/temp_dir.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unistd.h>

namespace karst::testing {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "karst-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!previousWorkingDir_.empty()) std::filesystem::current_path(previousWorkingDir_, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_))
        names.push_back(entry.path().filename().string());
    return names;
}

std::string TempDir::write(std::string_view name, std::string_view contents) const {
    const std::filesystem::path file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out.good()) throw std::runtime_error("cannot write " + file.string());
    return file.string();
}

void TempDir::enter() {
    previousWorkingDir_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
}

std::vector<uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string fileText(const std::filesystem::path& path) {
    const std::vector<uint8_t> bytes = readBytes(path);
    return {bytes.begin(), bytes.end()};
}

void writeBytes(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace karst::testing
