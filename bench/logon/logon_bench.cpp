// karst_logon_bench: log-ons at a steady rate against a server on this machine.
// Each one connects, says Hello with a profile key of its own, waits for Welcome
// and closes, so the server takes one log-on and one log-off per step. Prints
// the Hello-to-Welcome latency; with a database backend that is the lease, the
// profile's row and its creatures' rows, committed, before Welcome leaves.
//
//   karst_logon_bench --port P [--rate 500] [--seconds 10] [--threads 4] [--seed 1]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "client/test_client.h"

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
    std::vector<double> latenciesMs;
    unsigned failures = 0;
    unsigned lateStarts = 0;  // a log-on that started over 1 ms after its turn
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const unsigned long value = std::strtoul(argv[i + 1], nullptr, 10);
        if (name == "--port") options.port = static_cast<uint16_t>(value);
        else if (name == "--rate") options.rate = static_cast<unsigned>(value);
        else if (name == "--seconds") options.seconds = static_cast<unsigned>(value);
        else if (name == "--threads") options.threads = static_cast<unsigned>(value);
        else if (name == "--seed") options.seed = static_cast<unsigned>(value);
        else return false;
    }
    return argc % 2 == 1 && options.port != 0 && options.rate != 0 && options.threads != 0 &&
           options.seconds != 0;
}

karst::ProfileKey keyFor(unsigned seed, unsigned thread, unsigned step) {
    karst::ProfileKey key{};
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
        result.latenciesMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    }
}

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size())));
    return sorted[index];
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "Usage: karst_logon_bench --port P [--rate N] [--seconds S] [--threads T] [--seed N]\n");
        return 2;
    }
    std::vector<ThreadResult> results(options.threads);
    std::vector<std::thread> threads;
    const auto start = Clock::now() + std::chrono::milliseconds(50);
    for (unsigned t = 0; t < options.threads; ++t)
        threads.emplace_back(logOn, std::cref(options), t, start, std::ref(results[t]));
    for (std::thread& t : threads) t.join();

    std::vector<double> all;
    unsigned failures = 0, late = 0;
    for (const ThreadResult& r : results) {
        all.insert(all.end(), r.latenciesMs.begin(), r.latenciesMs.end());
        failures += r.failures;
        late += r.lateStarts;
    }
    std::sort(all.begin(), all.end());
    std::printf("log-ons %zu at %u/s, failed %u, started late %u; Hello to Welcome ms: "
                "p50 %.3f p99 %.3f max %.3f\n",
                all.size(), options.rate, failures, late, percentile(all, 0.50), percentile(all, 0.99),
                all.empty() ? 0.0 : all.back());
    return failures == 0 ? 0 : 1;
}
