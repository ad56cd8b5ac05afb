// The command line of karst_store_copy: one command and where its two sides are.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace karst::storecopy {

enum class CopyCommand {
    ToDatabase,  // the two store files into an empty database
    ToFiles,     // a database into two new store files
    Merge,       // the files' records over those of a database that holds a store
};

struct CopyOptions {
    CopyCommand command = CopyCommand::ToDatabase;
    std::string url;  // a libpq connection string
    std::string profileStorePath = "SAVEDATA/karst-profile-store.bin";
    std::string piboStorePath = "SAVEDATA/karst-pibo-store.bin";
    // merge only: the dump's lease list (empty: the one beside the profile store),
    // and whether the keys taken since the dump stay out while the rest loads.
    std::string leaseListPath;
    bool skipTaken = false;
};

struct CopyOptionsOutcome {
    std::optional<CopyOptions> options;  // empty on an error or a help request
    std::string error;
    bool helpRequested = false;
};

CopyOptionsOutcome parseCopyOptions(const std::vector<std::string>& args);
std::string copyUsage();

}  // namespace karst::storecopy
