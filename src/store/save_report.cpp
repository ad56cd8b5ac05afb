#include "store/save_report.h"

#include "app/console.h"

namespace karst {

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
        if (failedInARow_ != 0)
            printLine("Saved " + what_ + " " + path_ + " again after " +
                      std::to_string(failedInARow_) +
                      (failedInARow_ == 1 ? " failed attempt" : " failed attempts"));
        failedInARow_ = 0;
        return;
    }
    ++failures_;
    if (failedInARow_++ == 0) printError("Warning: " + failureText(error));
}

}  // namespace karst
