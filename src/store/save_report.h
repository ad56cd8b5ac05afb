// What the operator hears about something the server keeps retrying (a store, a
// metrics file, a wait on its sockets): one warning when it starts failing,
// naming what failed, where and the system's reason, nothing for the failed
// attempts that follow, and one line when it works again. For the files it also
// counts saves and failures for the metrics.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>
#include <utility>

namespace karst {

// A run of failures of one thing: the failure that opens it and the success
// that ends it are news to the operator, the attempts between are not.
class FailureStreak {
public:
    // True for the failure that opens a run: the moment to warn.
    bool failed() { return failedInARow_++ == 0; }
    // How many failures this success ends; 0 when it ends none.
    uint64_t succeeded() { return std::exchange(failedInARow_, 0); }
    bool failing() const { return failedInARow_ != 0; }

private:
    uint64_t failedInARow_ = 0;
};

// " again after N failed attempts", the end of every line that says a run of
// failures is over.
std::string againAfterFailures(uint64_t failures);

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

    bool failing() const { return streak_.failing(); }
    // Why the last save failed; empty while saves work.
    const std::error_code& lastError() const { return lastError_; }
    uint64_t saves() const { return saves_; }
    uint64_t failures() const { return failures_; }
    const std::string& what() const { return what_; }

private:
    std::string what_;
    std::string path_;
    uint64_t saves_ = 0;
    uint64_t failures_ = 0;
    FailureStreak streak_;
    std::error_code lastError_;
};

// "Error: final save failed: could not save WHAT PATH: REASON": nothing will
// retry it, so the changes since the last good save are lost.
void reportFinalSaveFailure(const SaveReport& report, const std::error_code& error);

// A store's save with its report, during the run and at shutdown.
template <typename Store>
bool saveWithReport(Store& store, SaveReport& report) {
    std::error_code error;
    const bool saved = store.save(error);
    report.record(saved, error);
    return saved;
}

template <typename Store>
bool saveAtShutdown(Store& store, SaveReport& report) {
    std::error_code error;
    if (store.save(error)) {
        report.record(true, error);
        return true;
    }
    reportFinalSaveFailure(report, error);
    return false;
}

}  // namespace karst
