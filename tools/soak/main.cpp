// karst_soak: a bounded soak of a karst_server on this machine. Options are
// described by --help; progress goes to standard error every ten seconds and
// the report to standard output. Exit codes: 0 every check passed, 1 a check
// failed, 2 bad options or no server to play against.
#include "common/command_line.h"
#include "common/stop_signal.h"
#include "soak/soak_engine.h"
#include "soak/soak_options.h"
#include "soak/soak_report.h"
#include "soak/soak_server.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <sched.h>

namespace {

using namespace karst;
using namespace karst::soak;

// The soak and a server it pinned must not share a CPU: time the server waits
// for ours would show up as its latency.
void keepOffCpu(int serverCpu) {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return;
    CPU_CLR(serverCpu, &set);
    if (CPU_COUNT(&set) > 0) ::sched_setaffinity(0, sizeof set, &set);
}

std::vector<uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void reportServerWarnings(const std::string& err, SoakWorld& world) {
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        if (end == std::string::npos) end = err.size();
        const std::string line = err.substr(start, end - start);
        if (!line.empty()) world.error("server said: " + line);
        start = end + 1;
    }
}

// Stops the owned server, then reads what it left behind.
void finishOwnedServer(OwnedServer& server, SoakEngine& engine, SoakWorld& world,
                       SoakReport& report) {
    report.server.peakMemoryKb = server.peakMemoryKb();
    report.server.residentEndKb = server.residentKb();
    report.server.exitCode = server.stop();
    if (report.server.exitCode != 0)
        world.error("the server ended with code " + std::to_string(report.server.exitCode) +
                    " after SIGINT");
    reportServerWarnings(server.consoleErr(), world);
    const auto players = engine.expectations();
    report.stores = checkStores(readFile(server.profileStore()), readFile(server.piboStore()),
                                players, world);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const SoakOptionsOutcome parsed = parseSoakOptions(args);
    if (parsed.helpRequested) {
        std::cout << soakUsage();
        return 0;
    }
    if (!parsed.options) {
        std::cerr << "karst_soak: " << parsed.error << '\n';
        return 2;
    }
    SoakOptions options = *parsed.options;
    // Every player, intruder and the server's connections each hold a descriptor.
    net::raiseDescriptorLimit(UINT64_MAX);
    net::startSocketLibrary();
    const std::atomic<bool>& stopRequested = tools::stopOnInterrupt();

    OwnedServer server;
    if (!options.serverPath.empty()) {
        std::string error;
        if (!server.start(options, error)) {
            std::cerr << "karst_soak: " << error << '\n';
            return 2;
        }
        options.port = server.port();
        if (server.pinned()) keepOffCpu(server.cpu());
        std::cerr << "karst_soak: started " << options.serverPath << " (pid " << server.pid()
                  << ") on port " << options.port << " in " << server.directory().string() << '\n';
    }
    const auto addresses = net::resolveAddresses(tools::loopbackAddress(options.host), options.port,
                                                 net::SocketType::Stream, false);
    if (addresses.empty()) {
        std::cerr << "karst_soak: cannot resolve " << options.host << '\n';
        return 2;
    }

    SoakWorld world(options, addresses.front());
    SoakEngine engine(world);
    SoakReport report;
    report.players = options.players;
    report.seed = options.seed;
    report.server.owned = !options.serverPath.empty();
    report.server.pinned = server.pinned();
    const uint64_t startNs = world.now();
    bool serverGone = false;
    uint64_t lastSecond = 0;
    engine.run(
        [&](uint64_t now) {
            const uint64_t second = now / kSecond;
            if (second == lastSecond) return;
            lastSecond = second;
            if (report.server.owned && second == 5) report.server.residentStartKb = server.residentKb();
            if (report.server.owned && !serverGone && !server.running()) {
                serverGone = true;
                world.error("the server ended during the soak");
                tools::requestStop();
            }
            if (second % 10 != 0) return;
            const SoakStats& s = world.stats();
            std::cerr << "karst_soak: " << second << " s, " << engine.playersOnline()
                      << " players online, " << s.framesSent << " sent, " << s.framesReceived
                      << " received, ping p99 "
                      << static_cast<double>(s.pingLatency.percentile(99)) / 1e6 << " ms, "
                      << world.errorCount() << " errors" << std::endl;
        },
        &stopRequested);
    report.seconds = static_cast<double>(world.now() - startNs) / 1e9;
    if (stopRequested.load() && !serverGone) world.error("the soak was interrupted");

    if (report.server.owned) {
        finishOwnedServer(server, engine, world, report);
        report.server.directory = server.directory().string();
        const bool keep = options.keepDirectory || !soakPassed(world);
        server.cleanUp(keep);
        if (keep) std::cerr << "karst_soak: kept " << report.server.directory << '\n';
    }
    std::cout << formatSoakReport(report, world) << std::flush;
    net::stopSocketLibrary();
    return soakPassed(world) ? 0 : 1;
}
