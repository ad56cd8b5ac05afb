#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace karst::fuzz {

namespace fs = std::filesystem;

namespace {

// Memory-backed when the system has it: the server syncs every store it writes.
fs::path scratchParent() {
    std::error_code error;
    if (fs::is_directory("/dev/shm", error)) return "/dev/shm";
    return fs::temp_directory_path();
}

void removeScratchDir() {
    std::error_code error;
    fs::remove_all(scratchDir(), error);
}

}  // namespace

const std::string& scratchDir() {
    // Never destroyed: the exit handler that removes the directory still needs it.
    static const std::string* dir = [] {
        auto* pattern = new std::string((scratchParent() / "karst-fuzz-XXXXXX").string());
        if (mkdtemp(pattern->data()) == nullptr) fail("cannot create a scratch directory");
        std::atexit(removeScratchDir);
        return pattern;
    }();
    return *dir;
}

std::string scratchFile(std::string_view name) {
    return (fs::path(scratchDir()) / name).string();
}

void writeWholeFile(const std::string& path, std::span<const uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) fail("cannot write " + path);
}

void removeScratchFiles() {
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(scratchDir(), error))
        fs::remove_all(entry.path(), error);
}

ServerSettings fuzzSettings() {
    ServerSettings settings;
    settings.bindAddress = "127.0.0.1";
    settings.port = 0;
    settings.proxyCount = kFuzzProxyCount;
    settings.listed = false;
    settings.completedSavePath = scratchFile("CometTrail01.snc");
    settings.piboStorePath = scratchFile("karst-pibo-store.bin");
    settings.profileStorePath = scratchFile("karst-profile-store.bin");
    settings.metricsPath.clear();
    settings.banListPath.clear();
    return settings;
}

void fail(std::string_view what) {
    std::fprintf(stderr, "fuzz invariant broken: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

}  // namespace karst::fuzz
