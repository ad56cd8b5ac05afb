// Every console line the server prints while it lives, seen on the server's
// own thread as it happens (and handed to `onLine` there, when given).
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/console.h"

namespace karst::testing {

class ConsoleLines {
public:
    using OnLine = std::function<void(std::string_view)>;
    explicit ConsoleLines(OnLine onLine = {}) : onLine_(std::move(onLine)) {
        setConsoleObserverForTesting([this](bool, std::string_view line) {
            if (onLine_) onLine_(line);
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        });
    }
    ~ConsoleLines() { setConsoleObserverForTesting({}); }
    ConsoleLines(const ConsoleLines&) = delete;
    ConsoleLines& operator=(const ConsoleLines&) = delete;

    size_t count(const std::string& part) const {
        std::lock_guard lock(mutex_);
        return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
            return l.find(part) != std::string::npos;
        }));
    }
    // The first line holding `part`, or empty.
    std::string find(const std::string& part) const {
        std::lock_guard lock(mutex_);
        const auto it = std::find_if(lines_.begin(), lines_.end(),
                                     [&](const std::string& l) { return l.find(part) != std::string::npos; });
        return it == lines_.end() ? std::string() : *it;
    }
    // Waits up to ten seconds for a line holding `part`.
    bool await(const std::string& part) const {
        for (int i = 0; i < 1000; ++i) {
            if (count(part) != 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    OnLine onLine_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace karst::testing
