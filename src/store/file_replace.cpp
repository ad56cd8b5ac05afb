// Safe replacement of the server's files, after the snapshot save of Redis:
// temporary file next to the target, every write checked, data synced to disk,
// one rename over the target, then the directory entry synced (both syncs only
// for the files that hold confirmed changes). The target is never deleted first,
// so there is no moment at which neither version exists.
//
// The calls that differ between operating systems (opening with a wide path,
// syncing a file, renaming with replacement, syncing a directory) sit in the
// platform layer (net/files.h); everything here is the same on both.
#include "store/file_replace.h"

#include "net/clock.h"
#include "net/files.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>

namespace karst {

namespace fs = std::filesystem;

namespace {

// Enough for any number of restarts within one second; beyond it we give up
// rather than loop, and the caller reports the file as not moved.
constexpr int kMaxRejectedNameAttempts = 1000;

// The C library's calls report their failures through errno.
std::error_code runtimeError() { return std::error_code(errno, std::generic_category()); }

// Writes the whole content to an already opened temporary file and closes it;
// `error` keeps the first failure's reason.
bool writeAndSync(std::FILE* file, std::span<const uint8_t> content, FileSync sync,
                  std::error_code& error) {
    bool ok = content.empty() ||
              std::fwrite(content.data(), 1, content.size(), file) == content.size();
    ok = ok && std::fflush(file) == 0;
    if (!ok) error = runtimeError();
    if (ok && sync == FileSync::ToDisk && !net::syncFileToDisk(file)) {
        ok = false;
        error = net::lastFileError();
    }
    // A failed close can mean lost data on some file systems, so it counts.
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        error = runtimeError();
    }
    return ok;
}

bool pathIsTaken(const fs::path& path) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    // An error other than "not found" leaves the name unusable as well.
    return fs::exists(status) || (error && status.type() != fs::file_type::not_found);
}

}  // namespace

std::string formatUtcStamp(uint64_t secondsSince1970) {
    using namespace std::chrono;
    const sys_seconds instant{seconds{static_cast<int64_t>(secondsSince1970)}};
    const sys_days day = floor<days>(instant);
    const year_month_day date{day};
    const hh_mm_ss timeOfDay{instant - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02u%02uT%02d%02d%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(timeOfDay.hours().count()),
                  static_cast<int>(timeOfDay.minutes().count()),
                  static_cast<int>(timeOfDay.seconds().count()));
    return text;
}

bool ensureParentDirectories(const std::string& path, std::error_code& error) {
    error.clear();
    const fs::path parent = fs::path(path).parent_path();
    if (parent.empty()) return true;
    fs::create_directories(parent, error);
    return !error;
}

bool replaceFileFromTemp(const std::string& path, std::span<const uint8_t> content) {
    std::error_code ignored;
    return replaceFileFromTemp(path, content, ignored);
}

bool replaceFileFromTemp(const std::string& path, std::span<const uint8_t> content,
                         std::error_code& error, FileSync sync) {
    error.clear();
    std::error_code ignored;
    ensureParentDirectories(path, ignored);  // a failure shows when the temp file is opened

    const fs::path target(path);
    const fs::path tempPath(path + std::string(kTempFileSuffix));
    std::FILE* file = net::openFileForWriting(tempPath);
    // Nothing of ours to clean up: whatever blocks the name is left alone.
    if (file == nullptr) {
        error = runtimeError();
        return false;
    }
    bool ok = writeAndSync(file, content, sync, error);
    if (ok && !net::renameReplacing(tempPath, target)) {
        ok = false;
        error = net::lastFileError();
    }
    if (!ok) {
        fs::remove(tempPath, ignored);
        return false;
    }
    if (sync == FileSync::ToDisk) net::syncDirectory(target.parent_path());
    return true;
}

bool replaceTextFile(const std::string& path, std::string_view text, std::error_code& error) {
    error.clear();
    if (path.empty()) return true;
    if (!ensureParentDirectories(path, error)) return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    return replaceFileFromTemp(path, std::span<const uint8_t>(bytes, text.size()), error,
                               FileSync::RenameOnly);
}

std::optional<std::string> keepRejectedFileAside(const std::string& path) {
    const fs::path original(path);
    const std::string baseName = original.filename().string() + std::string(kRejectedFileInfix) +
                                 formatUtcStamp(wallClockSeconds());
    for (int attempt = 1; attempt <= kMaxRejectedNameAttempts; ++attempt) {
        const std::string name =
            attempt == 1 ? baseName : baseName + "-" + std::to_string(attempt);
        const fs::path candidate = original.parent_path() / name;
        if (pathIsTaken(candidate)) continue;
        std::error_code error;
        fs::rename(original, candidate, error);
        if (error) return std::nullopt;
        net::syncDirectory(original.parent_path());
        return candidate.string();
    }
    return std::nullopt;
}

}  // namespace karst
