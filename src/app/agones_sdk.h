// Life under Agones: when the pod's sidecar offers the SDK's REST interface
// (AGONES_SDK_HTTP_PORT), the server says Ready once it listens, keeps saying
// Health while its loop runs, and says Shutdown once its stores are saved at a
// stop. The calls ride on the event loop's passes and never hold one up; a
// sidecar that is not up yet (it may start after the server) is called again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/agones_link.h"
#include "store/save_report.h"

namespace karst {

inline constexpr std::string_view kAgonesPortVariable = "AGONES_SDK_HTTP_PORT";

// The sidecar's port from the variable's value; nullopt unless it is a plain
// decimal from 1 to 65535.
std::optional<uint16_t> parseAgonesPort(std::string_view value);

class AgonesSdk {
public:
    // Agones's default health check allows 5 s between pings; two pings fit in it.
    static constexpr uint64_t kHealthIntervalNs = 2'000'000'000;
    // A Ready the sidecar did not take is asked again this soon.
    static constexpr uint64_t kReadyRetryNs = 1'000'000'000;

    explicit AgonesSdk(uint16_t port) : link_(port) {}

    // Once per pass: starts the call that is due and advances the one under way.
    void serve(uint64_t nowNs);
    // At a stop, once the stores are saved: Shutdown, waiting at most the
    // exchange's own timeout for the answer.
    void shutdown();

    bool readyTaken() const { return readyTaken_; }
    std::string where() const;

private:
    void record(const AgonesOutcome& outcome);

    AgonesLink link_;
    bool readyTaken_ = false;
    uint64_t nextCallNs_ = 0;
    uint64_t callStartedNs_ = 0;
    FailureStreak failures_;
};

}  // namespace karst
