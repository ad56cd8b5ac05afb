// What karst_store_copy's commands share: the two store files as it reads them,
// and the writing of records, counter and commit in one transaction.
#pragma once

#include "garden/pibo_store.h"
#include "store/profile_store.h"
#include "store/copy/copy_database.h"
#include "store/copy/copy_options.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace karst::storecopy {

struct StoreFiles {
    ProfileTable profiles;
    std::vector<PiboRecord> pibo;
    uint64_t nextPiboId = kFirstServerPiboId;
};

// The files as the server would load them, except that a file it would set
// aside refuses the whole copy: nothing is copied from a damaged store. A
// missing file reads as an empty store.
bool readStoreFiles(const CopyOptions& options, StoreFiles& files, std::string& error);

// "cannot read PATH: <the system's reason>", for a path that just failed to read.
std::string cannotRead(const std::string& path);

// Every record, then the counter, then the commit, in the transaction the
// caller began; rolled back on any failure. `next`: the counter afterwards.
bool writeAndCommit(CopyDatabase& db, const StoreFiles& files, uint64_t& next, std::string& error);

// "<done> N profiles from PATH and M Pibo records from PATH; next egg id K<more>"
void reportCopied(std::ostream& out, std::string_view done, const CopyOptions& options, const StoreFiles& files,
                  uint64_t next, std::string_view more = {});

}  // namespace karst::storecopy
