// karst_bots: a load generator for karst_server on this machine. Options are
// described by --help; the live progress goes to standard error once a second
// and the summary to standard output. Exit codes: 0 the run completed with
// every bot, 1 bots failed or the run was cut short, 2 bad options.
#include "bots/bot_engine.h"
#include "bots/bot_options.h"

#include <atomic>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void handleStopSignal(int) {
    stopRequested.store(true);
    // A second interrupt ends the process the ordinary way.
    std::signal(SIGINT, SIG_DFL);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const karst::bots::OptionsOutcome parsed = karst::bots::parseBotOptions(args);
    if (parsed.helpRequested) {
        std::cout << karst::bots::botUsage();
        return 0;
    }
    if (!parsed.options) {
        std::cerr << "karst_bots: " << parsed.error << '\n';
        return 2;
    }
    const karst::bots::BotOptions& options = *parsed.options;
    std::signal(SIGINT, handleStopSignal);
    std::signal(SIGTERM, handleStopSignal);
    std::cerr << "karst_bots: " << options.bots << " bots in rooms of " << options.roomSize
              << " at level " << static_cast<int>(options.level) << " act "
              << static_cast<int>(options.act) << ", " << options.hz << " Hz for "
              << options.durationSeconds << " s over "
              << (options.transport == karst::bots::Transport::Udp ? "udp" : "tcp") << " to "
              << options.host << ":" << options.port << std::endl;
    const karst::bots::LoadSummary summary =
        karst::bots::runLoad(options, &std::cerr, &stopRequested);
    std::cout << (options.json ? karst::bots::formatSummaryJson(summary)
                               : karst::bots::formatSummaryTable(summary))
              << std::flush;
    return karst::bots::exitCodeFor(summary);
}
