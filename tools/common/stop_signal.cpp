#include "common/stop_signal.h"

#include <csignal>

namespace karst::tools {

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void handleStopSignal(int) {
    stopRequested.store(true);
    std::signal(SIGINT, SIG_DFL);
}

}  // namespace

const std::atomic<bool>& stopOnInterrupt() {
    std::signal(SIGINT, handleStopSignal);
    std::signal(SIGTERM, handleStopSignal);
    return stopRequested;
}

void requestStop() { stopRequested.store(true); }

}  // namespace karst::tools
