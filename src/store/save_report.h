// What the operator hears about a file the server keeps rewriting (a store, a
// metrics file): one warning when saves start failing, naming the file and the
// system's reason, nothing for the failed attempts that follow, and one line
// when a save works again. It also counts saves and failures for the metrics.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

namespace karst {

class SaveReport {
public:
    // `what` names the file's role in the lines, for example "profile store".
    SaveReport(std::string what, std::string path);

    // Records one save and prints what changed: the warning
    // "Warning: could not save WHAT PATH: REASON" on standard error when saves
    // begin to fail, and "Saved WHAT PATH again after N failed attempts" on
    // standard output at the first save that works after them.
    void record(bool saved, const std::error_code& error);

    // "could not save WHAT PATH: REASON", for lines of the caller's own.
    std::string failureText(const std::error_code& error) const;

    bool failing() const { return failedInARow_ != 0; }
    uint64_t saves() const { return saves_; }
    uint64_t failures() const { return failures_; }
    const std::string& what() const { return what_; }

private:
    std::string what_;
    std::string path_;
    uint64_t saves_ = 0;
    uint64_t failures_ = 0;
    uint64_t failedInARow_ = 0;
};

}  // namespace karst
