// A list the operator keeps in a text file (the ban list, the allow list): read
// at start-up, read again when the file changes on disk, rewritten whole after
// every console change. One object per file; the list itself stays with its
// user, which decides what a new list means for the players already on.
//
// Console lines name the file by its role and count its entries in the words
// given at construction ("ban list", "ban", "bans").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/ban_list.h"
#include "store/save_report.h"

namespace karst {

struct ListFileWords {
    std::string_view list;     // "ban list"
    std::string_view entry;    // "ban", as a line that did not parse is called
    std::string_view entries;  // "bans", after a count
};

class ListFile {
public:
    // An empty path: no file, nothing read or written.
    ListFile(std::string path, ListFileWords words, ListEntries accepted);

    bool enabled() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

    // Reads the file into `list` (a missing file is an empty list), warning for
    // each line skipped, and with `announce` says it was reloaded. False, with
    // one warning per run of failures and `list` untouched, when it cannot be read.
    bool read(BanList& list, bool announce);
    // Reads the file again when it looks different on disk: at most every few
    // seconds, or at once with `now`. True when `list` was replaced.
    bool reloadIfChanged(BanList& list, bool now);
    // Writes `list` over the file. Empty when it did; else the warning to give,
    // which the caller routes to whoever made the change.
    std::string save(const BanList& list);

private:
    std::string path_;
    ListFileWords words_;
    ListEntries accepted_;
    // What the file looked like when last read or written.
    BanFileStamp stamp_;
    FailureStreak reads_;
    uint64_t lastCheckNs_ = 0;
};

}  // namespace karst
