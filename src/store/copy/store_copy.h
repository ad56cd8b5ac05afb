// karst_store_copy: moves a community's profiles and Pibo between the two store
// files and a PostgreSQL database that a fleet of servers shares, byte for byte
// in both directions (a database row holds the file's record unchanged).
//
// Every command refuses rather than overwrites: to-database wants a database
// without records, to-files wants target files that are missing or empty. merge
// does overwrite, on purpose: it loads what a server could not write during a
// database outage, which is newer than what the database holds, but only for
// the keys nobody has taken since (see merge_dump.h).
#pragma once

#include "store/copy/copy_options.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace karst::storecopy {

inline constexpr int kCopyDone = 0;
inline constexpr int kCopyRefused = 1;
inline constexpr int kCopyUsage = 2;

// Runs one command; what was copied goes to `out`, why it was refused to `err`.
int runCopy(const CopyOptions& options, std::ostream& out, std::ostream& err);

// The whole program: parses `args` (without the program name), then runCopy.
int runStoreCopy(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace karst::storecopy
