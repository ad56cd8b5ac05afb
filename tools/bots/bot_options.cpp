// Parsing and validation of the load generator's command line.
//
// Each option checks its own bounds; cross-option rules (warm-up shorter than
// the run) are checked once all options are read.
#include "bots/bot_options.h"

#include <array>

namespace karst::bots {

namespace {

using Option = tools::OptionSpec<BotOptions>;
using tools::boundedOption;

std::string setTransport(BotOptions& o, std::string_view v) {
    if (v == "tcp") o.transport = Transport::Tcp;
    else if (v == "udp") o.transport = Transport::Udp;
    else return "--transport must be tcp or udp.";
    return {};
}

template <bool BotOptions::*Field>
std::string setFlag(BotOptions& o, std::string_view) {
    o.*Field = true;
    return {};
}

const std::array<Option, 18>& optionTable() {
    static const std::array<Option, 18> table{{
        tools::loopbackHostOption<BotOptions>("this tool only loads a server on this machine."),
        boundedOption("--port", 1, 65535, &BotOptions::port),
        boundedOption("--bots", 1, kMaxBots, &BotOptions::bots),
        boundedOption("--room-size", 1, kMaxRoomSize, &BotOptions::roomSize),
        boundedOption("--level", 0, kMaxLevel, &BotOptions::level),
        boundedOption("--act", 0, kMaxAct, &BotOptions::act),
        boundedOption("--hz", kMinHz, kMaxHz, &BotOptions::hz),
        boundedOption("--duration", 1, kMaxDurationSeconds, &BotOptions::durationSeconds),
        {"--transport", true, setTransport},
        boundedOption("--chat-per-minute", 0, kMaxChatPerMinute, &BotOptions::chatPerMinute),
        boundedOption("--events-per-second", 0, kMaxEventsPerSecond, &BotOptions::eventsPerSecond),
        boundedOption("--connect-rate", 1, kMaxConnectRate, &BotOptions::connectRate),
        boundedOption("--warmup", 0, kMaxDurationSeconds - 1, &BotOptions::warmupSeconds),
        boundedOption("--setup-timeout", 1, kMaxSetupTimeoutSeconds,
                      &BotOptions::setupTimeoutSeconds),
        boundedOption("--seed", 0, UINT64_MAX, &BotOptions::seed),
        boundedOption("--first-room", 0, kMaxFirstRoom, &BotOptions::firstRoom),
        {"--json", false, setFlag<&BotOptions::json>},
        {"--hold", false, setFlag<&BotOptions::hold>},
    }};
    return table;
}

}  // namespace

OptionsOutcome parseBotOptions(std::span<const std::string> args) {
    OptionsOutcome outcome = tools::parseOptions<BotOptions>(args, optionTable());
    if (outcome.options && outcome.options->warmupSeconds >= outcome.options->durationSeconds) {
        outcome.options.reset();
        outcome.error = "--warmup must be shorter than --duration.";
    }
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
