#include "store/copy/copy_steps.h"

#include "store/store_file.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <system_error>

namespace karst::storecopy {

namespace {

// False with `error` set when the file is there but cannot be read; `bytes`
// stays empty when there is no file.
bool readIfPresent(const std::string& path, const StoreFileShape& shape, std::vector<uint8_t>& bytes,
                   bool& present, std::string& error) {
    const StoreFileRead read = readStoreFile(path, shape, bytes);
    present = read != StoreFileRead::Missing;
    if (read != StoreFileRead::Unreadable) return true;
    error = cannotRead(path);
    return false;
}

// The counter never goes below what the files' server would have handed out
// next, nor to an id that a record already holds.
uint64_t nextEggIdAfter(const StoreFiles& files) {
    uint64_t next = files.nextPiboId;
    for (const PiboRecord& record : files.pibo)
        if (record.id >= kFirstServerPiboId && record.id + kServerPiboIdStep > next)
            next = record.id + kServerPiboIdStep;
    return next;
}

}  // namespace

bool readStoreFiles(const CopyOptions& options, StoreFiles& files, std::string& error) {
    std::vector<uint8_t> bytes;
    bool present = false;
    if (!readIfPresent(options.profileStorePath, kProfileFileShape, bytes, present, error)) return false;
    if (present) {
        DecodedProfileStore decoded = decodeProfileStore(bytes);
        if (decoded.status != ProfileStoreStatus::Loaded) {
            error = options.profileStorePath + " is not a valid profile store";
            return false;
        }
        files.profiles = std::move(decoded.table);
    }
    if (!readIfPresent(options.piboStorePath, kPiboFileShape, bytes, present, error)) return false;
    if (present) {
        DecodedPiboStore decoded = decodePiboStore(bytes);
        if (decoded.status != PiboStoreStatus::Loaded) {
            error = options.piboStorePath + " is not a valid Pibo store";
            return false;
        }
        files.pibo = std::move(decoded.records);
        files.nextPiboId = decoded.nextPiboId;
    }
    return true;
}

std::string cannotRead(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code reason;
    const fs::file_status status = fs::status(path, reason);
    if (!reason && status.type() == fs::file_type::directory) {
        reason = std::make_error_code(std::errc::is_a_directory);
    } else if (!reason && status.type() != fs::file_type::regular) {
        return "cannot read " + path + ": not a regular file";
    } else if (!reason) {
        // Opened once more only to learn why: the reader that failed kept no errno.
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (file == nullptr) {
            reason.assign(errno, std::generic_category());
        } else {
            std::fclose(file);
            reason = std::make_error_code(std::errc::io_error);  // it opens, so reading it failed
        }
    }
    return "cannot read " + path + ": " + reason.message();
}

bool writeAndCommit(CopyDatabase& db, const StoreFiles& files, uint64_t& next, std::string& error) {
    bool written = true;
    for (auto it = files.profiles.begin(); written && it != files.profiles.end(); ++it)
        written = db.writeProfile(it->second, error);
    for (auto it = files.pibo.begin(); written && it != files.pibo.end(); ++it) written = db.writePibo(*it, error);
    if (written && db.raiseNextEggId(nextEggIdAfter(files), error) && db.readNextEggId(next, error) &&
        db.run("COMMIT", error))
        return true;
    db.rollback();
    return false;
}

void reportCopied(std::ostream& out, std::string_view done, const CopyOptions& options, const StoreFiles& files,
                  uint64_t next, std::string_view more) {
    out << done << ' ' << files.profiles.size() << " profiles from " << options.profileStorePath << " and "
        << files.pibo.size() << " Pibo records from " << options.piboStorePath << "; next egg id " << next << more
        << '\n';
}

}  // namespace karst::storecopy
