#include "support/temp_dir.h"

#include <fstream>
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

}  // namespace karst::testing
