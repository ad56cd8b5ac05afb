// The soak tool's command line: how long, how many players, which server.
//
// The rules of every tool's command line are in common/command_line.h; the
// loopback-only one matters most here: a soak hammers the server with malformed
// frames and connection floods, acceptable only against a server on this machine.
#pragma once

#include "common/command_line.h"

#include <cstdint>
#include <span>
#include <string>

namespace karst::soak {

struct SoakOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 27015;
    bool portGiven = false;
    uint32_t durationSeconds = 60;
    uint32_t players = 200;
    uint64_t seed = 1;
    // When set, the soak starts this server program in a fresh directory, owns
    // it, samples its memory and checks its stores after stopping it.
    std::string serverPath;
    int cpu = -1;  // CPU the owned server is pinned to; -1: the last one
    uint32_t slowReaders = 4;
    uint32_t malformedPerSecond = 5;
    uint32_t silentConnections = 200;
    uint32_t pingBoundMs = 2000;
    // Mean time between two store changes of one player (purchases, finishes,
    // registrations...): every change rewrites the profile or Pibo store.
    uint32_t changeIntervalMs = 3000;
    uint32_t seedProfiles = 0;  // profiles written into the owned server's store first
    bool keepDirectory = false;
};

inline constexpr uint32_t kMaxSoakSeconds = 24 * 3600;
inline constexpr uint32_t kMaxSoakPlayers = 1500;
inline constexpr uint32_t kMaxSlowReaders = 64;
inline constexpr uint32_t kMaxMalformedPerSecond = 200;
inline constexpr uint32_t kMaxSilentConnections = 400;
inline constexpr uint32_t kMaxPingBoundMs = 60'000;
inline constexpr uint32_t kMinChangeIntervalMs = 100;
inline constexpr uint32_t kMaxChangeIntervalMs = 600'000;
inline constexpr uint32_t kMaxSeedProfiles = 1'000'000;

using SoakOptionsOutcome = tools::ParsedOptions<SoakOptions>;

SoakOptionsOutcome parseSoakOptions(std::span<const std::string> args);
std::string soakUsage();

}  // namespace karst::soak
