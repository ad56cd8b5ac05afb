// Parsing and validation of the soak tool's command line.
#include "soak/soak_options.h"

#include "bots/bot_options.h"

#include <string_view>

namespace karst::soak {

namespace {

template <typename T>
std::string readBounded(const std::string& name, std::string_view text, uint64_t low,
                        uint64_t high, T& out) {
    const auto value = bots::parseDecimal(text);
    if (!value || *value < low || *value > high)
        return name + " needs a whole number from " + std::to_string(low) + " to " +
               std::to_string(high) + ".";
    out = static_cast<T>(*value);
    return {};
}

// Applies one "--name value" pair; an error text when the pair is refused.
std::string applyOption(SoakOptions& o, const std::string& name, const std::string& value) {
    if (name == "--host") {
        if (!bots::isLoopbackHost(value))
            return "--host must be 127.0.0.1, ::1 or localhost: a soak only ever targets a "
                   "server on this machine.";
        o.host = value;
        return {};
    }
    if (name == "--port") {
        o.portGiven = true;
        return readBounded(name, value, 1, 65535, o.port);
    }
    if (name == "--server") {
        if (value.empty()) return "--server needs a program path.";
        o.serverPath = value;
        return {};
    }
    if (name == "--duration") return readBounded(name, value, 1, kMaxSoakSeconds, o.durationSeconds);
    if (name == "--players") return readBounded(name, value, 2, kMaxSoakPlayers, o.players);
    if (name == "--seed") return readBounded(name, value, 0, UINT64_MAX, o.seed);
    if (name == "--cpu") return readBounded(name, value, 0, 1023, o.cpu);
    if (name == "--slow-readers") return readBounded(name, value, 0, kMaxSlowReaders, o.slowReaders);
    if (name == "--malformed-per-second")
        return readBounded(name, value, 0, kMaxMalformedPerSecond, o.malformedPerSecond);
    if (name == "--silent")
        return readBounded(name, value, 0, kMaxSilentConnections, o.silentConnections);
    if (name == "--ping-bound-ms")
        return readBounded(name, value, 1, kMaxPingBoundMs, o.pingBoundMs);
    if (name == "--change-interval-ms")
        return readBounded(name, value, kMinChangeIntervalMs, kMaxChangeIntervalMs,
                           o.changeIntervalMs);
    if (name == "--seed-profiles")
        return readBounded(name, value, 0, kMaxSeedProfiles, o.seedProfiles);
    return "Unknown option " + name + " (see --help).";
}

}  // namespace

SoakOptionsOutcome parseSoakOptions(std::span<const std::string> args) {
    SoakOptionsOutcome outcome;
    SoakOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            outcome.helpRequested = true;
            return outcome;
        }
        if (arg == "--keep") {
            options.keepDirectory = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            outcome.error = arg.rfind("--", 0) == 0 ? arg + " needs a value."
                                                     : "Unknown option " + arg + " (see --help).";
            return outcome;
        }
        outcome.error = applyOption(options, arg, args[i + 1]);
        ++i;
        if (!outcome.error.empty()) return outcome;
    }
    if (options.seedProfiles > 0 && options.serverPath.empty()) {
        outcome.error = "--seed-profiles needs --server: only a server the soak starts can be seeded.";
        return outcome;
    }
    outcome.options = options;
    return outcome;
}

std::string soakUsage() {
    return "Usage: karst_soak [options]\n"
           "Plays a bounded soak against a karst_server on this machine: players that join\n"
           "rooms, move, chat, finish stages, buy fruit, breed Pibo and reconnect, mixed with\n"
           "malformed frames, readers that never read and connections that never say Hello.\n"
           "\n"
           "  --host HOST              127.0.0.1 (default), ::1 or localhost; nothing else\n"
           "  --port PORT              server port, 1..65535 (27015; with --server a free\n"
           "                           port is chosen unless given)\n"
           "  --duration S             seconds of play, 1..86400 (60)\n"
           "  --players N              well-behaved players, 2..1500 (200)\n"
           "  --seed S                 drives every random choice and the players' identities (1)\n"
           "  --server PATH            start this karst_server in a fresh directory, sample its\n"
           "                           peak memory, stop it with SIGINT and check its stores\n"
           "  --cpu N                  CPU the started server is pinned to (the last one)\n"
           "  --slow-readers N         connections that never read, 0..64 (4); they fill their\n"
           "                           queue with Central Plaza greetings, so they need the\n"
           "                           server's proxies (6 by default)\n"
           "  --malformed-per-second N connections sending bad frames, 0..200 (5)\n"
           "  --silent N               connections that never say Hello, 0..400 (200)\n"
           "  --ping-bound-ms MS       longest acceptable Ping answer, 1..60000 (2000)\n"
           "  --change-interval-ms MS  mean time between two store changes of one player\n"
           "                           (purchases, finishes, registrations), 100..600000 (3000)\n"
           "  --seed-profiles N        profiles written into the started server's store first,\n"
           "                           so every save takes real time, 0..1000000 (0)\n"
           "  --keep                   keep the started server's directory\n"
           "  --help                   this text\n"
           "\n"
           "Exit codes: 0 every check passed, 1 a check failed, 2 bad options or no server.\n";
}

}  // namespace karst::soak
