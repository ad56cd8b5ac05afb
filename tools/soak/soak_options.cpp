// Parsing and validation of the soak tool's command line.
#include "soak/soak_options.h"

#include <array>

namespace karst::soak {

namespace {

using Option = tools::OptionSpec<SoakOptions>;
using tools::boundedOption;

std::string setPort(SoakOptions& o, std::string_view v) {
    o.portGiven = true;
    return boundedOption("--port", 1, 65535, &SoakOptions::port).set(o, v);
}

std::string setServer(SoakOptions& o, std::string_view v) {
    if (v.empty()) return "--server needs a program path.";
    o.serverPath = std::string(v);
    return {};
}

std::string setKeep(SoakOptions& o, std::string_view) {
    o.keepDirectory = true;
    return {};
}

const std::array<Option, 14>& optionTable() {
    static const std::array<Option, 14> table{{
        tools::loopbackHostOption<SoakOptions>(
            "a soak only ever targets a server on this machine."),
        {"--port", true, setPort},
        {"--server", true, setServer},
        boundedOption("--duration", 1, kMaxSoakSeconds, &SoakOptions::durationSeconds),
        boundedOption("--players", 2, kMaxSoakPlayers, &SoakOptions::players),
        boundedOption("--seed", 0, UINT64_MAX, &SoakOptions::seed),
        boundedOption("--cpu", 0, 1023, &SoakOptions::cpu),
        boundedOption("--slow-readers", 0, kMaxSlowReaders, &SoakOptions::slowReaders),
        boundedOption("--malformed-per-second", 0, kMaxMalformedPerSecond,
                      &SoakOptions::malformedPerSecond),
        boundedOption("--silent", 0, kMaxSilentConnections, &SoakOptions::silentConnections),
        boundedOption("--ping-bound-ms", 1, kMaxPingBoundMs, &SoakOptions::pingBoundMs),
        boundedOption("--change-interval-ms", kMinChangeIntervalMs, kMaxChangeIntervalMs,
                      &SoakOptions::changeIntervalMs),
        boundedOption("--seed-profiles", 0, kMaxSeedProfiles, &SoakOptions::seedProfiles),
        {"--keep", false, setKeep},
    }};
    return table;
}

}  // namespace

SoakOptionsOutcome parseSoakOptions(std::span<const std::string> args) {
    SoakOptionsOutcome outcome = tools::parseOptions<SoakOptions>(args, optionTable());
    if (outcome.options && outcome.options->seedProfiles > 0 && outcome.options->serverPath.empty()) {
        outcome.options.reset();
        outcome.error = "--seed-profiles needs --server: only a server the soak starts can be seeded.";
    }
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
