// karst_bots: a load generator for karst_server on this machine. Options are
// described by --help; the live progress goes to standard error once a second
// and the summary to standard output. Exit codes: 0 the run completed with
// every bot, 1 bots failed or the run was cut short, 2 bad options.
#include "bots/bot_engine.h"
#include "bots/bot_options.h"
#include "common/stop_signal.h"

#include <iostream>
#include <string>
#include <vector>

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
    const std::atomic<bool>& stopRequested = karst::tools::stopOnInterrupt();
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
