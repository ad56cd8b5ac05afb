// merge: loads a server's dump of the changes it could not write (its two
// .unsaved- files and their lease list) into the shared database.
//
// The dump is older than anything a server wrote after taking one of its keys
// again, so a key's records go in only while its lease row still holds the
// number the list gives: the row is locked first, so no server takes the key
// until the records are committed. A key taken since, or one that cannot be
// checked, refuses the whole merge unless the operator asked to skip such keys.
#pragma once

#include "store/copy/copy_options.h"

#include <iosfwd>
#include <string>

namespace karst::storecopy {

// A line on `err` for every key not loaded; false with `error` set when nothing
// was merged.
bool mergeDump(const CopyOptions& options, std::ostream& out, std::ostream& err, std::string& error);

}  // namespace karst::storecopy
