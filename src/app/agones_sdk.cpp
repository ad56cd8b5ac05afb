#include "app/agones_sdk.h"

#include <chrono>
#include <thread>

#include "app/console.h"

namespace karst {

std::optional<uint16_t> parseAgonesPort(std::string_view value) {
    if (value.empty() || value.size() > 5) return std::nullopt;
    uint32_t port = 0;
    for (const char c : value) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (port == 0 || port > 65535) return std::nullopt;
    return static_cast<uint16_t>(port);
}

std::string AgonesSdk::where() const { return "Agones SDK on localhost:" + std::to_string(link_.port()); }

void AgonesSdk::serve(uint64_t nowNs) {
    if (!link_.busy() && static_cast<int64_t>(nowNs - nextCallNs_) >= 0) {
        // The cadence counts from each call's start, however long its answer takes.
        callStartedNs_ = nowNs;
        link_.begin(readyTaken_ ? AgonesCall::Health : AgonesCall::Ready, nowNs);
    }
    if (const std::optional<AgonesOutcome> outcome = link_.advance(nowNs)) record(*outcome);
}

void AgonesSdk::record(const AgonesOutcome& outcome) {
    const std::string_view call = agonesCallName(outcome.call);
    if (!outcome.accepted) {
        if (failures_.failed())
            printError("Warning: the " + where() + " did not take the " + std::string(call) + " call: " +
                       outcome.failure + "; the server keeps calling");
        nextCallNs_ = callStartedNs_ + (readyTaken_ ? kHealthIntervalNs : kReadyRetryNs);
        return;
    }
    if (const uint64_t failed = failures_.succeeded())
        printLine("The " + where() + " answers" + againAfterFailures(failed));
    if (outcome.call == AgonesCall::Ready) {
        readyTaken_ = true;
        printLine("Told the " + where() + " that the server is Ready");
    }
    nextCallNs_ = callStartedNs_ + kHealthIntervalNs;
}

void AgonesSdk::shutdown() {
    // Whatever was under way matters less than this last word. The server is
    // on its way out, so the wait is measured in real time.
    const auto started = std::chrono::steady_clock::now();
    const auto elapsedNs = [&] {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         std::chrono::steady_clock::now() - started).count());
    };
    link_.begin(AgonesCall::Shutdown, 0);
    for (;;) {
        if (const std::optional<AgonesOutcome> outcome = link_.advance(elapsedNs())) {
            if (outcome->accepted) printLine("Told the " + where() + " that the server shuts down");
            else printError("Warning: the " + where() + " did not take the shutdown call: " + outcome->failure);
            return;
        }
        if (!link_.busy()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace karst
