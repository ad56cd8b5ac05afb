// Crash safety of the stores: the built server is killed with SIGKILL at
// random moments while the soak's players keep it rewriting a large profile
// store, and after every kill the files must still be complete (the old
// version or the new one) and hold every change the server had confirmed.
//
// The kill times come from a seeded generator, which also picks the players'
// identities. The seed is printed, and KARST_CRASH_SEED=<seed> repeats a run's
// kill times (the players' own timing still varies with the machine). Find
// the test with `ctest -R CrashSafety` or `--gtest_filter=CrashSafety.*`.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <thread>

#include "client/store_files.h"
#include "common/command_line.h"
#include "soak/soak_check.h"
#include "soak/soak_engine.h"
#include "soak/soak_server.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace karst::testing {
namespace {

namespace fs = std::filesystem;
using soak::PlayerExpectation;

// Large enough that every save takes real time (about 10 MB).
constexpr uint32_t kSeededProfiles = 100'000;
constexpr int kKills = 10;
constexpr uint32_t kPlayers = 24;
// The players play this long, at random, between the start-up report and the
// kill; they make their first connections over the first two seconds.
constexpr int kMinRunMs = 400;
constexpr int kMaxRunMs = 2000;

uint64_t chooseSeed() {
    if (const char* text = std::getenv("KARST_CRASH_SEED")) return std::strtoull(text, nullptr, 10);
    return std::random_device{}();
}

soak::SoakOptions crashOptions(uint64_t seed) {
    soak::SoakOptions o;
    o.seed = seed;
    o.players = kPlayers;
    o.durationSeconds = soak::kMaxSoakSeconds;  // every round ends at its kill
    o.slowReaders = 0;
    o.malformedPerSecond = 0;
    o.silentConnections = 0;
    o.changeIntervalMs = soak::kMinChangeIntervalMs;
    return o;
}

// The profile store of the soak's own server, saved by it once and left for the rounds.
fs::path seededDirectory(soak::SoakOptions options, soak::OwnedServer& owned) {
    options.serverPath = KARST_SERVER_BINARY;
    options.seedProfiles = kSeededProfiles;
    std::string error;
    EXPECT_TRUE(owned.start(options, error)) << error;
    EXPECT_EQ(owned.stop(), 0);
    return owned.directory();
}

// The count of the start-up line, or -1 when the line is missing.
long loadedProfiles(const std::string& out) {
    static const std::regex line("Loaded ([0-9]+) persistent player profiles");
    std::smatch m;
    return std::regex_search(out, m, line) ? std::stol(m[1].str()) : -1;
}

// The start-up report of a server that found its stores complete.
void expectCleanLoad(const ServerProcess& server, size_t expectedProfiles) {
    EXPECT_EQ(server.err().find("Warning: ignored invalid"), std::string::npos) << server.err();
    EXPECT_EQ(loadedProfiles(server.out()), static_cast<long>(expectedProfiles)) << server.out();
}

using FruitCounts = std::map<client::ProfileKey, uint16_t>;

// The files a killed server left: both load, and every player with no change in
// flight at the kill has exactly the balance and fruit the server confirmed to
// it (on top of what the files held before the round); the Pibo the round
// registered, bred and claimed are there. Returns the fruit counts now stored.
FruitCounts expectCompleteStores(const fs::path& dir, const FruitCounts& before,
                                 const std::vector<PlayerExpectation>& players, soak::SoakWorld& world) {
    const std::vector<uint8_t> profileFile = readBytes(dir / "SAVEDATA" / "karst-profile-store.bin");
    const soak::StoreCheck pibo =
        soak::checkStores(profileFile, readBytes(dir / "SAVEDATA" / "karst-pibo-store.bin"), {}, world);
    EXPECT_EQ(pibo.mismatches, 0u) << "the Pibo store lost a confirmed change or does not load";
    const auto profiles = client::readProfileStore(profileFile);
    if (!profiles) return {};
    EXPECT_GE(profiles->size(), kSeededProfiles);
    FruitCounts after;
    for (const auto& [key, record] : *profiles) after[key] = record.fruit[static_cast<size_t>(soak::kSoakFruit)];
    for (const auto& [key, expected] : players) {
        if (!expected.known || expected.uncertain) continue;
        const auto it = profiles->find(key);
        if (it == profiles->end()) {
            ADD_FAILURE() << "a welcomed player has no profile";
            continue;
        }
        EXPECT_EQ(it->second.rings, expected.rings) << "a confirmed change was lost";
        const auto was = before.find(key);
        EXPECT_EQ(after[key], (was == before.end() ? 0 : was->second) + expected.fruit)
            << "a confirmed purchase was lost";
    }
    return after;
}

TEST(CrashSafety, SigkillDuringSavesAlwaysLeavesCompleteStores) {
    const uint64_t seed = chooseSeed();
    SCOPED_TRACE("KARST_CRASH_SEED=" + std::to_string(seed));
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<int> runMs(kMinRunMs, kMaxRunMs);
    net::startSocketLibrary();
    const soak::SoakOptions options = crashOptions(seed);
    soak::OwnedServer owned;
    struct CleanUp {
        soak::OwnedServer& owned;
        ~CleanUp() { owned.cleanUp(false); }
    } cleanUp{owned};
    const fs::path dir = seededDirectory(options, owned);
    ASSERT_FALSE(HasFailure());

    const fs::path temp = dir / "SAVEDATA" / "karst-profile-store.bin.tmp";
    size_t expectedProfiles = kSeededProfiles;
    FruitCounts fruit;
    int killsDuringSave = 0, confirmedPlayers = 0;
    for (int kill = 0; kill < kKills && !HasFailure(); ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill + 1));
        const uint16_t port = tools::freeLoopbackPort();
        ServerProcess server(dir, {"--bind", "127.0.0.1", "--port", std::to_string(port), "--private"});
        ASSERT_TRUE(server.waitForOutput("persistent player profiles")) << server.err();
        expectCleanLoad(server, expectedProfiles);
        const auto address = net::resolveAddresses("127.0.0.1", port, net::SocketType::Stream, false);
        ASSERT_FALSE(address.empty());
        soak::SoakWorld world(options, address.front());
        soak::SoakEngine engine(world);
        std::atomic<bool> killed{false};
        std::error_code ignored;
        fs::remove(temp, ignored);
        std::thread killer([&, wait = runMs(random)] {
            std::this_thread::sleep_for(std::chrono::milliseconds(wait));
            server.signal(SIGKILL);
            killed.store(true);
        });
        engine.run([](uint64_t) {}, &killed);
        killer.join();
        EXPECT_EQ(server.wait(), 128 + SIGKILL);
        killsDuringSave += fs::exists(temp) ? 1 : 0;
        const std::vector<PlayerExpectation> players = engine.expectations();
        for (const auto& [key, expected] : players) confirmedPlayers += expected.known && !expected.uncertain;
        fruit = expectCompleteStores(dir, fruit, players, world);
        expectedProfiles = fruit.size();
    }

    // The last kill's files load too.
    ServerProcess server(dir, {"--bind", "127.0.0.1", "--port", std::to_string(tools::freeLoopbackPort()), "--private"});
    ASSERT_TRUE(server.waitForOutput("persistent player profiles")) << server.err();
    expectCleanLoad(server, expectedProfiles);
    server.signal(SIGINT);
    EXPECT_EQ(server.wait(), 0);
    net::stopSocketLibrary();
    std::cout << "crash safety: seed " << seed << ", " << kKills << " kills, " << killsDuringSave
              << " during a profile save, " << confirmedPlayers << " player balances checked\n";
    RecordProperty("seed", std::to_string(seed));
    RecordProperty("killsDuringSave", killsDuringSave);
}

}  // namespace
}  // namespace karst::testing
