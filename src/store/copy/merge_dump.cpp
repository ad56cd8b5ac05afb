#include "store/copy/merge_dump.h"

#include "app/console_line.h"
#include "store/lease_list.h"
#include "store/copy/copy_steps.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <system_error>
#include <unordered_map>

namespace karst::storecopy {

namespace {

// A line is at most 53 bytes and a dump holds a few million keys at the very
// most; a larger file is no lease list, and is not read into memory.
constexpr size_t kMaxLeaseListBytes = size_t{256} << 20;

using LeaseNumbers = std::unordered_map<ProfileKey, int64_t, ProfileKeyHash>;

struct KeyRecords {
    size_t profiles = 0;
    size_t pibo = 0;
    bool load = false;
};
// Ordered, so that the lease rows are always locked in the same order.
using DumpKeys = std::map<ProfileKey, KeyRecords>;

struct Skipped {
    KeyRecords records;
    size_t keys = 0;
};

std::string countOf(size_t count, const std::string& thing) {
    return std::to_string(count) + ' ' + thing + (count == 1 ? "" : "s");
}

std::string countsOf(const KeyRecords& records) {
    return countOf(records.profiles, "profile") + " and " + countOf(records.pibo, "Pibo record");
}

bool readLeaseText(const std::string& path, std::string& text, std::string& error) {
    std::error_code ignored;
    if (std::filesystem::status(path, ignored).type() == std::filesystem::file_type::not_found) {
        error = "the dump has no lease list: " + path +
                " does not exist, so nothing tells which of its keys were taken since (--leases names another)";
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = cannotRead(path);
        return false;
    }
    char piece[1 << 16];
    size_t got = 0;
    while (text.size() <= kMaxLeaseListBytes && (got = std::fread(piece, 1, sizeof piece, file)) > 0)
        text.append(piece, got);
    const int reason = std::ferror(file) == 0 ? 0 : errno != 0 ? errno : EIO;
    std::fclose(file);
    if (reason != 0) error = "cannot read " + path + ": " + std::generic_category().message(reason);
    else if (text.size() > kMaxLeaseListBytes) error = path + " is too large to be a lease list";
    return error.empty();
}

bool readLeaseNumbers(const std::string& path, LeaseNumbers& numbers, std::string& error) {
    std::string text;
    if (!readLeaseText(path, text, error)) return false;
    const std::optional<std::vector<LeaseEntry>> entries = decodeLeaseList(text, error);
    if (!entries) {
        error = path + " is not a valid lease list: " + error;
        return false;
    }
    for (const LeaseEntry& entry : *entries) numbers.emplace(entry.key, entry.leaseNumber);
    return true;
}

DumpKeys keysOf(const StoreFiles& dump) {
    DumpKeys keys;
    for (const auto& [key, record] : dump.profiles) ++keys[key].profiles;
    for (const PiboRecord& record : dump.pibo) ++keys[record.owner].pibo;
    return keys;
}

// Why a key's records stay out; empty when its lease is still the dump's.
std::string whyNotLoaded(std::optional<int64_t> listed, std::optional<int64_t> held) {
    if (!listed) return "no lease number in the list";
    if (!held) return "no lease row";
    const std::string dumps = "the dump's " + std::to_string(*listed);
    if (*held > *listed) return "taken since: lease " + std::to_string(*held) + ", " + dumps;
    if (*held < *listed) return "the database's lease " + std::to_string(*held) + " is older than " + dumps;
    return {};
}

// Locks every key's lease row and decides which keys load; one line on `err`
// for each that does not.
bool checkLeases(CopyDatabase& db, const LeaseNumbers& listed, DumpKeys& keys, std::ostream& err,
                 Skipped& skipped, std::string& error) {
    for (auto& [key, records] : keys) {
        std::optional<int64_t> held;
        if (!db.lockLeaseNumber(key, held, error)) return false;
        std::optional<int64_t> number;
        if (const auto found = listed.find(key); found != listed.end()) number = found->second;
        const std::string why = whyNotLoaded(number, held);
        records.load = why.empty();
        if (records.load) continue;
        err << "not loaded: " << formatProfileKeyHex(key) << ": " << countsOf(records) << " (" << why << ")\n";
        skipped.records.profiles += records.profiles;
        skipped.records.pibo += records.pibo;
        ++skipped.keys;
    }
    return true;
}

StoreFiles loadedPart(const StoreFiles& dump, const DumpKeys& keys) {
    StoreFiles loaded;
    loaded.nextPiboId = dump.nextPiboId;
    for (const auto& [key, record] : dump.profiles)
        if (keys.at(key).load) loaded.profiles.emplace(key, record);
    for (const PiboRecord& record : dump.pibo)
        if (keys.at(record.owner).load) loaded.pibo.push_back(record);
    return loaded;
}

}  // namespace

bool mergeDump(const CopyOptions& options, std::ostream& out, std::ostream& err, std::string& error) {
    // A dump may hold one store only; neither is a mistyped path, not an empty dump.
    std::error_code ignored;
    if (!std::filesystem::exists(options.profileStorePath, ignored) &&
        !std::filesystem::exists(options.piboStorePath, ignored)) {
        error = "neither " + options.profileStorePath + " nor " + options.piboStorePath + " exists";
        return false;
    }
    const std::string listPath =
        options.leaseListPath.empty() ? leaseListPathFor(options.profileStorePath) : options.leaseListPath;
    StoreFiles dump;
    LeaseNumbers listed;
    CopyDatabase db;
    if (!readStoreFiles(options, dump, error) || !readLeaseNumbers(listPath, listed, error) ||
        !db.connect(options.url, error) || !db.holdsStore(error) || !db.run("BEGIN", error))
        return false;
    DumpKeys keys = keysOf(dump);
    Skipped skipped;
    if (!checkLeases(db, listed, keys, err, skipped, error)) {
        db.rollback();
        return false;
    }
    if (skipped.keys > 0 && !options.skipTaken) {
        db.rollback();
        error = "nothing was merged, since " + countOf(skipped.keys, "key") +
                " could not be loaded; --skip-taken loads the other " + countOf(keys.size() - skipped.keys, "key");
        return false;
    }
    const StoreFiles loaded = loadedPart(dump, keys);
    uint64_t next = 0;
    if (!writeAndCommit(db, loaded, next, error)) return false;
    reportCopied(out, "merged into the database:", options, loaded, next,
                 "; not loaded: " + countsOf(skipped.records) + " of " + countOf(skipped.keys, "key"));
    return true;
}

}  // namespace karst::storecopy
