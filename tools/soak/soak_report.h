// The soak's figures and verdict, as plain text for people and scripts: one
// "name: value" line per figure, then the errors kept, then a RESULT line.
#pragma once

#include "soak/soak_check.h"
#include "soak/soak_world.h"

#include <cstdint>
#include <optional>
#include <string>

namespace karst::soak {

struct ServerFigures {
    bool owned = false;
    bool pinned = false;
    uint64_t peakMemoryKb = 0;     // VmHWM just before the stop
    uint64_t residentStartKb = 0;  // VmRSS once the players were online
    uint64_t residentEndKb = 0;    // VmRSS just before the stop
    int exitCode = 0;
    std::string directory;
};

struct SoakReport {
    double seconds = 0;
    uint32_t players = 0;
    uint64_t seed = 0;
    ServerFigures server;
    std::optional<StoreCheck> stores;
};

std::string formatSoakReport(const SoakReport& report, const SoakWorld& world);
bool soakPassed(const SoakWorld& world);

}  // namespace karst::soak
