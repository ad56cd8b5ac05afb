// The load generator's command line: what to drive and how hard.
//
// The rules every tool's command line follows are in common/command_line.h.
#pragma once

#include "common/command_line.h"

#include <cstdint>
#include <span>
#include <string>

namespace karst::bots {

enum class Transport : uint8_t { Tcp, Udp };

struct BotOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 27015;
    uint32_t bots = 16;
    uint32_t roomSize = 8;
    int16_t level = 0;
    int8_t act = 0;
    uint32_t hz = 30;
    uint32_t durationSeconds = 10;
    Transport transport = Transport::Tcp;
    uint32_t chatPerMinute = 0;
    uint32_t eventsPerSecond = 0;
    uint32_t connectRate = 200;
    uint32_t warmupSeconds = 0;
    uint32_t setupTimeoutSeconds = 30;
    bool json = false;
    uint64_t seed = 1;
    // Rooms start at instance firstRoom + 1, so two runs side by side can keep apart.
    uint32_t firstRoom = 0;
    // Idle players: after entering their rooms they neither move nor read.
    bool hold = false;
};

// Bounds, inclusive. The chat and event ceilings are the server's own rate
// limits (5 messages per 2 s; one event of each kind per 4 ms), beyond which
// extra traffic would only measure the server's refusals.
inline constexpr uint32_t kMaxBots = 10000;
inline constexpr uint32_t kMaxRoomSize = 1024;
inline constexpr uint32_t kMaxLevel = 255;
inline constexpr uint32_t kMaxAct = 7;
inline constexpr uint32_t kMinHz = 1;
inline constexpr uint32_t kMaxHz = 120;
inline constexpr uint32_t kMaxDurationSeconds = 3600;
inline constexpr uint32_t kMaxChatPerMinute = 150;
inline constexpr uint32_t kMaxEventsPerSecond = 250;
inline constexpr uint32_t kMaxConnectRate = 10000;
inline constexpr uint32_t kMaxSetupTimeoutSeconds = 600;
inline constexpr uint32_t kMaxFirstRoom = 1'000'000;

using OptionsOutcome = tools::ParsedOptions<BotOptions>;

OptionsOutcome parseBotOptions(std::span<const std::string> args);
std::string botUsage();

}  // namespace karst::bots
