// Fuzz target: any bytes as the configuration file, read on its own and then
// through the whole settings phase. A phase that accepts the settings must have
// validated them, and a server must be constructible from them.
#include <string>
#include <vector>

#include "app/game_server.h"
#include "app/settings.h"
#include "fuzz_support.h"

namespace karst::fuzz {
namespace {

void checkValidated(const ServerSettings& s) {
    if (s.maxClients < 1 || s.maxPlayersPerRoom < 1 || s.minimumReady < 1)
        fail("settings phase accepted a zero capacity");
    if (s.proxyCount > kMaxProxyCount) fail("settings phase accepted too many proxies");
    if (s.serverName.empty() || s.serverName.size() > kMaxServerNameLength ||
        s.modList.size() > kMaxModListLength || s.advertiseHost.size() > kMaxAdvertiseHostLength)
        fail("settings phase accepted an oversized text");
    if (s.startingRings > kRingCap) fail("settings phase accepted rings above the cap");
}

}  // namespace
}  // namespace karst::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace karst;
    using namespace karst::fuzz;
    static const std::string path = scratchFile("server.ini");
    writeWholeFile(path, {data, size});

    ServerSettings settings;
    std::vector<ConsoleLine> lines;
    if (!loadConfigFile(path, settings, lines)) fail("an existing configuration file did not open");

    const std::vector<std::string> args = {"--config", path};
    const SettingsPhase phase = runSettingsPhase(args);
    if (phase.exitCode) {
        if (*phase.exitCode != 2) fail("a configuration file ended the phase without an error");
        return 0;
    }
    checkValidated(phase.settings);
    // Construction touches no file and no socket: the paths may be anything.
    GameServer server(phase.settings);
    return 0;
}
