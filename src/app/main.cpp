// karst_server: reads its settings, then runs the one GameServer until SIGINT or
// SIGTERM. Exit codes: 0 after a normal stop or the usage line, 1 when the server
// cannot listen, 2 for any settings error (a shared store that cannot be opened
// counts as one), 3 when the final save at a stop failed.
#include <csignal>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/game_server.h"
#include "app/settings.h"

namespace {

constexpr int kExitFinalSaveFailed = 3;

extern "C" void handleStopSignal(int) {
    // Only an atomic load and an atomic exchange: safe inside a signal handler.
    if (karst::GameServer* server = karst::activeServer.load()) server->requestStop();
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    karst::SettingsPhase phase = karst::runSettingsPhase(args);
    for (const karst::ConsoleLine& line : phase.lines)
        line.error ? karst::printError(line.text) : karst::printLine(line.text);
    if (phase.exitCode) return *phase.exitCode;

    std::signal(SIGINT, handleStopSignal);
    std::signal(SIGTERM, handleStopSignal);

    karst::GameServer server(std::move(phase.settings));
    if (!server.start()) {
        if (server.storeOpenFailed()) {
            karst::printError(server.startFailure());
            server.shutdown();
            return karst::kExitSettingsError;
        }
        karst::printError("Unable to bind the dedicated server.");
        if (!server.startFailure().empty()) karst::printError(server.startFailure());
        server.shutdown();
        return 1;
    }
    server.openConsole();
    karst::activeServer.store(&server);
    const int code = server.run();
    karst::activeServer.store(nullptr);
    server.shutdown();
    // A supervisor must see that the stop lost data (the line is already out).
    if (code == 0 && server.finalSaveFailed()) return kExitFinalSaveFailed;
    return code;
}
