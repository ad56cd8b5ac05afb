#include "store/save_report.h"

#include "app/console.h"

namespace karst {

std::string againAfterFailures(uint64_t failures) {
    return " again after " + std::to_string(failures) +
           (failures == 1 ? " failed attempt" : " failed attempts");
}

SaveReport::SaveReport(std::string what, std::string path)
    : what_(std::move(what)), path_(std::move(path)) {}

std::string SaveReport::failureText(const std::error_code& error) const {
    // Every failure path sets a reason; the fallback only keeps the line whole.
    const std::string reason = error ? error.message() : "unknown error";
    return "could not save " + what_ + " " + path_ + ": " + reason;
}

void SaveReport::record(bool saved, const std::error_code& error) {
    ++saves_;
    if (saved) {
        lastError_.clear();
        if (const uint64_t failures = streak_.succeeded())
            printLine("Saved " + what_ + " " + path_ + againAfterFailures(failures));
        return;
    }
    ++failures_;
    lastError_ = error;
    if (streak_.failed()) printError("Warning: " + failureText(error));
}

void reportFinalSaveFailure(const SaveReport& report, const std::error_code& error) {
    printError("Error: final save failed: " + report.failureText(error));
}

}  // namespace karst
