#include "app/list_file.h"

#include <utility>

#include "app/console.h"
#include "net/clock.h"
#include "store/file_replace.h"

namespace karst {

namespace {

// Often enough that an edit takes effect while the operator watches; a stat
// every few seconds costs nothing next to a pass.
constexpr uint64_t kListFileCheckIntervalNs = 2 * kNsPerSecond;

}  // namespace

ListFile::ListFile(std::string path, ListFileWords words, ListEntries accepted)
    : path_(std::move(path)), words_(words), accepted_(accepted) {}

bool ListFile::read(BanList& list, bool announce) {
    if (!enabled()) return false;
    const BanFileStamp state = stampBanFile(path_);
    std::string text;
    std::error_code error;
    if (state.exists && !readBanFile(path_, text, error)) {
        // The state is not taken over, so the next check tries again.
        if (reads_.failed())
            printError("Warning: could not read " + std::string(words_.list) + " " + path_ + ": " +
                       error.message() + "; keeping the " + std::to_string(list.size()) + " " +
                       std::string(words_.entries) + " in force");
        return false;
    }
    reads_.succeeded();
    ParsedBanFile parsed = BanList::parse(text, accepted_);
    for (size_t line : parsed.invalidLines)
        printError("Warning: ignored invalid " + std::string(words_.entry) + " at " + path_ + ":" +
                   std::to_string(line));
    list = std::move(parsed.list);
    stamp_ = state;
    if (announce)
        printLine("Reloaded " + std::string(words_.list) + " " + path_ + " (" + std::to_string(list.size()) +
                  " " + std::string(words_.entries) + ")");
    return true;
}

bool ListFile::reloadIfChanged(BanList& list, bool now) {
    if (!enabled()) return false;
    const uint64_t time = monotonicNowNs();
    if (!now && lastCheckNs_ != 0 && !elapsedAtLeast(time, lastCheckNs_, kListFileCheckIntervalNs))
        return false;
    lastCheckNs_ = time;
    return stampBanFile(path_) != stamp_ && read(list, true);
}

std::string ListFile::save(const BanList& list) {
    if (!enabled()) return {};
    const std::string text = list.serialize();
    std::error_code error;
    const bool saved =
        ensureParentDirectories(path_, error) &&
        replaceFileFromTemp(path_, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, error);
    if (!saved)
        return "Warning: could not save " + std::string(words_.list) + " " + path_ + ": " +
               error.message() + "; the change holds until restart";
    stamp_ = stampBanFile(path_);
    return {};
}

}  // namespace karst
