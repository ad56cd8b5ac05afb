// karst_logon_bench: log-ons at a steady rate against a server on this machine.
// Each one connects, says Hello with a profile key of its own, waits for Welcome
// and closes, so the server takes one log-on and one log-off per step. Prints
// the Hello-to-Welcome latency; with a database backend that is the lease, the
// profile's row and its creatures' rows, committed, before Welcome leaves.
//
//   karst_logon_bench --port P [--rate 500] [--seconds 10] [--threads 4] [--seed 1]
#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "client/test_client.h"
#include "common/command_line.h"
#include "common/latency_histogram.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    uint16_t port = 0;
    unsigned rate = 500;
    unsigned seconds = 10;
    unsigned threads = 4;
    unsigned seed = 1;
};

struct ThreadResult {
    karst::tools::LatencyHistogram latency;
    unsigned failures = 0;
    unsigned lateStarts = 0;  // a log-on that started over 1 ms after its turn
};

using karst::tools::boundedOption;

const std::array<karst::tools::OptionSpec<Options>, 5> kOptionTable{{
    boundedOption("--port", 1, 65535, &Options::port),
    boundedOption("--rate", 1, 100'000, &Options::rate),
    boundedOption("--seconds", 1, 3600, &Options::seconds),
    boundedOption("--threads", 1, 256, &Options::threads),
    boundedOption("--seed", 0, UINT32_MAX, &Options::seed),
}};

karst::client::ProfileKey keyFor(unsigned seed, unsigned thread, unsigned step) {
    karst::client::ProfileKey key{};
    key[0] = 0x6C;  // never all zero
    for (int i = 0; i < 4; ++i) {
        key[1 + i] = static_cast<uint8_t>(seed >> (8 * i));
        key[5 + i] = static_cast<uint8_t>(thread >> (8 * i));
        key[9 + i] = static_cast<uint8_t>(step >> (8 * i));
    }
    return key;
}

// Thread t takes the steps t, t + threads, t + 2 x threads, ... of one schedule.
void logOn(const Options& options, unsigned thread, Clock::time_point start, ThreadResult& result) {
    const unsigned steps = options.rate * options.seconds;
    const auto interval = std::chrono::duration<double>(1.0 / options.rate);
    for (unsigned step = thread; step < steps; step += options.threads) {
        const auto due = start + std::chrono::duration_cast<Clock::duration>(interval * step);
        std::this_thread::sleep_until(due);
        if (Clock::now() - due > std::chrono::milliseconds(1)) ++result.lateStarts;
        karst::client::KarstClient client;
        if (!client.connect(options.port)) {
            ++result.failures;
            continue;
        }
        const auto sent = Clock::now();
        const bool welcomed = client.hello("Bench", 0, {1, 2, 3}, keyFor(options.seed, thread, step)) &&
                              client.awaitWelcome(5000).has_value();
        if (!welcomed) {
            ++result.failures;
            continue;
        }
        result.latency.record(static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - sent).count()));
    }
}

double ms(uint64_t ns) { return static_cast<double>(ns) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const auto parsed = karst::tools::parseOptions<Options>(args, kOptionTable);
    if (!parsed.options || parsed.options->port == 0) {
        if (!parsed.error.empty()) std::fprintf(stderr, "karst_logon_bench: %s\n", parsed.error.c_str());
        std::fprintf(stderr, "Usage: karst_logon_bench --port P [--rate N] [--seconds S] [--threads T] [--seed N]\n");
        return 2;
    }
    const Options& options = *parsed.options;
    std::vector<ThreadResult> results(options.threads);
    std::vector<std::thread> threads;
    const auto start = Clock::now() + std::chrono::milliseconds(50);
    for (unsigned t = 0; t < options.threads; ++t)
        threads.emplace_back(logOn, std::cref(options), t, start, std::ref(results[t]));
    for (std::thread& t : threads) t.join();

    karst::tools::LatencyHistogram all;
    unsigned failures = 0, late = 0;
    for (const ThreadResult& r : results) {
        all.merge(r.latency);
        failures += r.failures;
        late += r.lateStarts;
    }
    std::printf("log-ons %llu at %u/s, failed %u, started late %u; Hello to Welcome ms: "
                "p50 %.3f p99 %.3f max %.3f\n",
                static_cast<unsigned long long>(all.count()), options.rate, failures, late,
                ms(all.percentile(50)), ms(all.percentile(99)), ms(all.max()));
    return failures == 0 ? 0 : 1;
}
