#include "store/copy/store_copy.h"

#include "store/file_replace.h"
#include "store/copy/copy_steps.h"
#include "store/copy/merge_dump.h"

#include <filesystem>
#include <ostream>

namespace karst::storecopy {

namespace {

bool copyToDatabase(const CopyOptions& options, std::ostream& out, std::string& error) {
    StoreFiles files;
    CopyDatabase db;
    if (!readStoreFiles(options, files, error) || !db.connect(options.url, error) || !db.ensureSchema(error))
        return false;
    // The lock keeps a server that starts meanwhile from adding the first row
    // between the check and the copy.
    bool any = false;
    uint64_t next = 0;
    if (!db.run("BEGIN", error) ||
        !db.run("LOCK TABLE karst_profiles, karst_pibo IN SHARE ROW EXCLUSIVE MODE", error) ||
        !db.holdsRecords(any, error)) {
        db.rollback();
        return false;
    }
    if (any) {
        db.rollback();
        error = "the database already holds profiles or Pibo records; nothing was copied";
        return false;
    }
    if (!writeAndCommit(db, files, next, error)) return false;
    reportCopied(out, "copied to the database:", options, files, next);
    return true;
}

bool holdsBytes(const std::string& path) {
    std::error_code ignored;
    const auto size = std::filesystem::file_size(path, ignored);
    return !ignored && size > 0;
}

bool readDatabase(const CopyOptions& options, StoreFiles& store, std::string& error) {
    CopyDatabase db;
    // One snapshot: a server writing meanwhile cannot split a breeding between
    // the two files.
    if (!db.connect(options.url, error) || !db.holdsStore(error) ||
        !db.run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", error))
        return false;
    if (!db.readProfiles(store.profiles, error) || !db.readPibo(store.pibo, error) ||
        !db.readNextEggId(store.nextPiboId, error)) {
        db.rollback();
        return false;
    }
    db.rollback();
    if (store.profiles.size() > kMaxProfileRecordsInHeader) {
        error = "the database holds " + std::to_string(store.profiles.size()) +
                " profiles, more than a profile store file may hold (" +
                std::to_string(kMaxProfileRecordsInHeader) + ")";
        return false;
    }
    return true;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    std::error_code failure;
    if (ensureParentDirectories(path, failure) && replaceFileFromTemp(path, bytes, failure)) return true;
    error = "cannot write " + path + ": " + failure.message();
    return false;
}

bool copyToFiles(const CopyOptions& options, std::ostream& out, std::string& error) {
    for (const std::string& path : {options.profileStorePath, options.piboStorePath}) {
        if (holdsBytes(path)) {
            error = path + " already exists and is not empty";
            return false;
        }
    }
    StoreFiles store;
    if (!readDatabase(options, store, error)) return false;
    if (!writeFile(options.profileStorePath, encodeProfileStore(store.profiles), error) ||
        !writeFile(options.piboStorePath, encodePiboStore(store.pibo, store.nextPiboId), error))
        return false;
    out << "wrote " << store.profiles.size() << " profiles to " << options.profileStorePath << " and "
        << store.pibo.size() << " Pibo records to " << options.piboStorePath << "; next egg id "
        << store.nextPiboId << '\n';
    return true;
}

}  // namespace

int runCopy(const CopyOptions& options, std::ostream& out, std::ostream& err) {
    std::string error;
    bool done = false;
    switch (options.command) {
        case CopyCommand::ToDatabase: done = copyToDatabase(options, out, error); break;
        case CopyCommand::ToFiles: done = copyToFiles(options, out, error); break;
        case CopyCommand::Merge: done = mergeDump(options, out, err, error); break;
    }
    if (done) return kCopyDone;
    err << "karst_store_copy: " << error << '\n';
    return kCopyRefused;
}

int runStoreCopy(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const CopyOptionsOutcome parsed = parseCopyOptions(args);
    if (parsed.helpRequested) {
        out << copyUsage();
        return kCopyDone;
    }
    if (!parsed.options) {
        err << "karst_store_copy: " << parsed.error << '\n' << copyUsage();
        return kCopyUsage;
    }
    return runCopy(*parsed.options, out, err);
}

}  // namespace karst::storecopy
