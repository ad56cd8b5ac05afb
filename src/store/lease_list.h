// The lease list a server writes beside a dump of changes it could not store: for
// every key whose changes the dump holds, the number of the lease they were made
// under. karst_store_copy merge loads a key's records only while the database
// still holds that number for it, so a dump never overwrites what another server
// wrote after taking the key.
//
// Text, one entry a line, "\n" line ends, the last line ended too:
//
//   # karst lease list 1
//   <32 lower-case hex digits> <lease number, decimal, 0..2^63-1>
//
// Lines after the first that start with "#" are comments.
#pragma once

#include "store/profile_key.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace karst {

inline constexpr std::string_view kLeaseListHeader = "# karst lease list 1";
inline constexpr std::string_view kLeaseListSuffix = ".leases";

struct LeaseEntry {
    ProfileKey key{};
    int64_t leaseNumber = 0;

    bool operator==(const LeaseEntry&) const = default;
};

std::string encodeLeaseList(const std::vector<LeaseEntry>& entries);
// The entries in file order; nothing, with `error` ("line N: ..."), when any line
// is malformed, a key repeats or the header is missing: a list that is only
// partly right cannot vouch for any key.
std::optional<std::vector<LeaseEntry>> decodeLeaseList(std::string_view text, std::string& error);
// Where the lease list of a dump sits: "<profile dump>.leases".
std::string leaseListPathFor(const std::string& profileDumpPath);

}  // namespace karst
