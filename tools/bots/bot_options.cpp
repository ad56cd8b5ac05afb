// Parsing and validation of the load generator's command line.
//
// Each option names a setter that checks its own bounds; cross-option rules
// (warm-up shorter than the run) are checked once all options are read.
#include "bots/bot_options.h"

#include <array>
#include <charconv>
#include <functional>

namespace karst::bots {

std::optional<uint64_t> parseDecimal(std::string_view text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

namespace {

std::string rangeError(std::string_view name, uint64_t low, uint64_t high) {
    return std::string(name) + " needs a whole number from " + std::to_string(low) + " to " +
           std::to_string(high) + ".";
}

// Reads `text` into `out` when it is a number within [low, high]; else an error.
std::string readBounded(std::string_view name, std::string_view text, uint64_t low,
                        uint64_t high, uint32_t& out) {
    const auto value = parseDecimal(text);
    if (!value || *value < low || *value > high) return rangeError(name, low, high);
    out = static_cast<uint32_t>(*value);
    return {};
}

using Setter = std::function<std::string(BotOptions&, std::string_view)>;

struct OptionEntry {
    std::string_view name;
    Setter set;
};

Setter bounded(std::string_view name, uint64_t low, uint64_t high, uint32_t BotOptions::*field) {
    return [=](BotOptions& o, std::string_view v) {
        return readBounded(name, v, low, high, o.*field);
    };
}

std::string setHost(BotOptions& o, std::string_view v) {
    if (!isLoopbackHost(v))
        return "--host must be 127.0.0.1, ::1 or localhost: this tool only loads a server on "
               "this machine.";
    o.host = std::string(v);
    return {};
}

std::string setPort(BotOptions& o, std::string_view v) {
    uint32_t port = 0;
    std::string error = readBounded("--port", v, 1, 65535, port);
    o.port = static_cast<uint16_t>(port);
    return error;
}

std::string setLevel(BotOptions& o, std::string_view v) {
    uint32_t level = 0;
    std::string error = readBounded("--level", v, 0, kMaxLevel, level);
    o.level = static_cast<int16_t>(level);
    return error;
}

std::string setAct(BotOptions& o, std::string_view v) {
    uint32_t act = 0;
    std::string error = readBounded("--act", v, 0, kMaxAct, act);
    o.act = static_cast<int8_t>(act);
    return error;
}

std::string setTransport(BotOptions& o, std::string_view v) {
    if (v == "tcp") o.transport = Transport::Tcp;
    else if (v == "udp") o.transport = Transport::Udp;
    else return "--transport must be tcp or udp.";
    return {};
}

std::string setSeed(BotOptions& o, std::string_view v) {
    const auto value = parseDecimal(v);
    if (!value) return "--seed needs a whole number from 0 to 18446744073709551615.";
    o.seed = *value;
    return {};
}

const std::array<OptionEntry, 16>& optionTable() {
    static const std::array<OptionEntry, 16> table{{
        {"--host", setHost},
        {"--port", setPort},
        {"--bots", bounded("--bots", 1, kMaxBots, &BotOptions::bots)},
        {"--room-size", bounded("--room-size", 1, kMaxRoomSize, &BotOptions::roomSize)},
        {"--level", setLevel},
        {"--act", setAct},
        {"--hz", bounded("--hz", kMinHz, kMaxHz, &BotOptions::hz)},
        {"--duration", bounded("--duration", 1, kMaxDurationSeconds, &BotOptions::durationSeconds)},
        {"--transport", setTransport},
        {"--chat-per-minute",
         bounded("--chat-per-minute", 0, kMaxChatPerMinute, &BotOptions::chatPerMinute)},
        {"--events-per-second",
         bounded("--events-per-second", 0, kMaxEventsPerSecond, &BotOptions::eventsPerSecond)},
        {"--connect-rate", bounded("--connect-rate", 1, kMaxConnectRate, &BotOptions::connectRate)},
        {"--warmup", bounded("--warmup", 0, kMaxDurationSeconds - 1, &BotOptions::warmupSeconds)},
        {"--setup-timeout",
         bounded("--setup-timeout", 1, kMaxSetupTimeoutSeconds, &BotOptions::setupTimeoutSeconds)},
        {"--seed", setSeed},
        {"--first-room", bounded("--first-room", 0, kMaxFirstRoom, &BotOptions::firstRoom)},
    }};
    return table;
}

}  // namespace

bool isLoopbackHost(std::string_view host) {
    return host == "127.0.0.1" || host == "::1" || host == "localhost";
}

std::string loopbackAddress(std::string_view host) {
    return host == "::1" ? "::1" : "127.0.0.1";
}

OptionsOutcome parseBotOptions(std::span<const std::string> args) {
    OptionsOutcome outcome;
    BotOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            outcome.helpRequested = true;
            return outcome;
        }
        if (arg == "--json" || arg == "--hold") {
            (arg == "--json" ? options.json : options.hold) = true;
            continue;
        }
        const OptionEntry* entry = nullptr;
        for (const OptionEntry& candidate : optionTable())
            if (candidate.name == arg) entry = &candidate;
        if (!entry) {
            outcome.error = "Unknown option " + arg + " (see --help).";
            return outcome;
        }
        if (i + 1 >= args.size()) {
            outcome.error = arg + " needs a value.";
            return outcome;
        }
        outcome.error = entry->set(options, args[++i]);
        if (!outcome.error.empty()) return outcome;
    }
    if (options.warmupSeconds >= options.durationSeconds) {
        outcome.error = "--warmup must be shorter than --duration.";
        return outcome;
    }
    outcome.options = options;
    return outcome;
}

std::string botUsage() {
    return "Usage: karst_bots [options]\n"
           "Drives simulated players against a karst_server on this machine and measures how\n"
           "fast and how completely their movement is relayed.\n"
           "\n"
           "  --host HOST             127.0.0.1 (default), ::1 or localhost; nothing else\n"
           "  --port PORT             server TCP and UDP port, 1..65535 (27015)\n"
           "  --bots N                simulated players, 1..10000 (16)\n"
           "  --room-size R           players per room, 1..1024 (8); each room is an instance\n"
           "  --level L               level of the rooms, 0..255 (0); stages pick a character\n"
           "                          allowed there\n"
           "  --act A                 act of the rooms, 0..7 (0)\n"
           "  --hz H                  movement records per player per second, 1..120 (30)\n"
           "  --duration D            seconds of movement, 1..3600 (10)\n"
           "  --warmup W              first seconds of movement left out of the figures,\n"
           "                          below D (0)\n"
           "  --transport tcp|udp     how movement is sent (tcp)\n"
           "  --chat-per-minute C     chat lines per player per minute, 0..150 (0)\n"
           "  --events-per-second E   player events per player per second, 0..250 (0)\n"
           "  --connect-rate N        connections opened per second, 1..10000 (200)\n"
           "  --setup-timeout S       seconds a player may take to connect, be welcomed and\n"
           "                          enter its room, 1..600 (30)\n"
           "  --seed S                derives the players' identities; reuse it to reuse\n"
           "                          their profiles (1); two runs side by side need two seeds\n"
           "  --first-room F          rooms start at instance F + 1, so runs side by side can\n"
           "                          use rooms apart, 0..1000000 (0)\n"
           "  --hold                  idle players: once in their rooms they neither move nor\n"
           "                          read, and stay connected for D seconds\n"
           "  --json                  print the summary as JSON\n"
           "  --help                  this text\n"
           "\n"
           "Exit codes: 0 the run completed with every player, 1 players failed to set up or\n"
           "were closed, or the run was cut short, 2 bad options.\n";
}

}  // namespace karst::bots
