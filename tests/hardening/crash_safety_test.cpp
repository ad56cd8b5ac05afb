// Crash safety of the stores: the built server is killed with SIGKILL at
// random moments while players keep it rewriting a large profile store and a
// large Pibo store, and after every kill the files must still be complete
// (the old version or the new one) and hold every change the server had
// confirmed to a player.
//
// The kill times come from a seeded generator. The seed is printed, and
// KARST_CRASH_SEED=<seed> repeats a run's kill times (the players' own timing
// still varies with the machine). Find the test with
// `ctest -R CrashSafety` or `--gtest_filter=CrashSafety.*`.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <random>
#include <regex>
#include <thread>

#include "client/store_files.h"
#include "common/command_line.h"
#include "hardening/crash_players.h"
#include "net/socket.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace karst::testing {
namespace {

namespace fs = std::filesystem;

// Large enough that every save takes real time (about 10 MB and 6 MB).
constexpr uint32_t kSeededProfiles = 100'000;
constexpr uint32_t kSeededPibo = 3'000;
constexpr int kKills = 20;
constexpr int kPlayerThreads = 4;
constexpr uint32_t kBuyersPerThread = 6;
// The players run this long, at random, between the start-up report and the kill.
constexpr int kMinRunMs = 40;
constexpr int kMaxRunMs = 450;

const char* const kProfileStore = "SAVEDATA/karst-profile-store.bin";
const char* const kPiboStore = "SAVEDATA/karst-pibo-store.bin";
// The store's next id for a creature the server makes: at least 2^63 + 1.
constexpr uint64_t kFirstEggId = (uint64_t{1} << 63) + 1;

ProfileKey seededKey(uint32_t index) {
    ProfileKey key{};
    key[0] = 0x5E;
    for (int i = 0; i < 4; ++i) key[1 + i] = static_cast<uint8_t>(index >> (8 * i));
    return key;
}

void seedStores(const fs::path& dir) {
    fs::create_directories(dir / "SAVEDATA");
    std::vector<client::StoredProfile> profiles(kSeededProfiles);
    for (uint32_t i = 0; i < kSeededProfiles; ++i) {
        profiles[i].key = seededKey(i);
        profiles[i].rings = i % 5000;
        profiles[i].fruit[3] = static_cast<uint16_t>(i % 7);
    }
    writeBytes(dir / kProfileStore, client::writeProfileStore(profiles));

    std::vector<client::StoredPibo> pibo(kSeededPibo);
    for (uint32_t i = 0; i < kSeededPibo; ++i) {
        pibo[i].id = 2 * uint64_t{i} + 1;
        pibo[i].owner = seededKey(i);
        pibo[i].localSlot = 0;
        pibo[i].data[client::kPiboTypeOffset] = 2;
    }
    writeBytes(dir / kPiboStore, client::writePiboStore(pibo, kFirstEggId));
}

uint64_t chooseSeed() {
    if (const char* text = std::getenv("KARST_CRASH_SEED")) return std::strtoull(text, nullptr, 10);
    return std::random_device{}();
}

// The count of the start-up line, or -1 when the line is missing.
long loadedProfiles(const std::string& out) {
    static const std::regex line("Loaded ([0-9]+) persistent player profiles");
    std::smatch m;
    return std::regex_search(out, m, line) ? std::stol(m[1].str()) : -1;
}

bool hasRejectedFile(const fs::path& dir) {
    for (const auto& entry : fs::directory_iterator(dir / "SAVEDATA"))
        if (entry.path().filename().string().find(".rejected-") != std::string::npos) return true;
    return false;
}

// The start-up report of a server that found its stores complete.
void expectCleanLoad(const ServerProcess& server, size_t expectedProfiles) {
    EXPECT_EQ(server.err().find("Warning: ignored invalid"), std::string::npos) << server.err();
    EXPECT_EQ(server.err().find("rejected"), std::string::npos) << server.err();
    EXPECT_EQ(loadedProfiles(server.out()), static_cast<long>(expectedProfiles)) << server.out();
}

// The files a killed server left: complete, and holding every confirmed change.
// Returns the number of profiles, which the next start must report.
size_t expectCompleteStores(const fs::path& dir, const std::vector<CrashPlayerThread>& threads) {
    EXPECT_FALSE(hasRejectedFile(dir));
    const auto profiles = client::readProfileStore(readBytes(dir / kProfileStore));
    const auto pibo = client::readPiboStore(readBytes(dir / kPiboStore));
    if (!profiles || !pibo) {
        ADD_FAILURE() << "a store does not load";
        return 0;
    }
    EXPECT_GE(profiles->size(), kSeededProfiles);
    for (const CrashPlayerThread& thread : threads) {
        for (const CrashBuyer& buyer : thread.buyers) {
            const auto it = profiles->find(buyer.key);
            if (it == profiles->end()) continue;  // never got as far as Hello
            const client::StoredProfile& r = it->second;
            EXPECT_EQ(r.rings + kCrashFruitPrice * r.fruit[kCrashFruit], kCrashStartingRings)
                << "a record mixes two versions";
            EXPECT_LE(r.rings, buyer.confirmedRings) << "a confirmed purchase was lost";
            EXPECT_GE(r.rings + kCrashFruitPrice * buyer.requestedBuys, kCrashStartingRings);
        }
    }
    EXPECT_GE(pibo->records.size(), kSeededPibo);
    for (const CrashPlayerThread& thread : threads)
        for (uint64_t id : thread.confirmedPibo)
            EXPECT_TRUE(pibo->records.contains(id)) << "a confirmed Pibo registration was lost";
    return profiles->size();
}

std::vector<std::string> serverArgs(uint16_t port) {
    return {"--bind", "127.0.0.1", "--port", std::to_string(port), "--private", "--proxies", "0",
            "--starting-rings", std::to_string(kCrashStartingRings)};
}

std::optional<fs::file_time_type> tempFileTime(const fs::path& temp) {
    std::error_code error;
    const auto time = fs::last_write_time(temp, error);
    return error ? std::nullopt : std::optional(time);
}

// True when a save was under way at the kill: its temporary file is new or rewritten.
bool tempFileChanged(const fs::path& temp, std::optional<fs::file_time_type> before) {
    const auto now = tempFileTime(temp);
    return now && (!before || *before != *now);
}

TEST(CrashSafety, SigkillDuringSavesAlwaysLeavesCompleteStores) {
    const uint64_t seed = chooseSeed();
    SCOPED_TRACE("KARST_CRASH_SEED=" + std::to_string(seed));
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<int> runMs(kMinRunMs, kMaxRunMs);
    net::startSocketLibrary();

    TempDir dir;
    seedStores(dir.path());
    std::vector<CrashPlayerThread> threads(kPlayerThreads);
    for (uint32_t t = 0; t < kPlayerThreads; ++t) {
        threads[t].gardener = t == 0;
        for (uint32_t b = 0; b < kBuyersPerThread; ++b)
            threads[t].buyers.push_back(CrashBuyer{crashBuyerKey(t, b)});
    }

    const fs::path temp = dir.path() / (std::string(kProfileStore) + ".tmp");
    size_t expectedProfiles = kSeededProfiles;
    int cleanLoads = 0, killsDuringSave = 0;
    for (int kill = 0; kill < kKills && !HasFailure(); ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill + 1));
        const auto tempBefore = tempFileTime(temp);
        const uint16_t port = tools::freeLoopbackPort();
        ServerProcess server(dir.path(), serverArgs(port));
        ASSERT_TRUE(server.waitForOutput("persistent player profiles")) << server.err();
        expectCleanLoad(server, expectedProfiles);
        cleanLoads += HasFailure() ? 0 : 1;
        {
            CrashPlayers players(threads, port);
            std::this_thread::sleep_for(std::chrono::milliseconds(runMs(random)));
            server.signal(SIGKILL);
            EXPECT_EQ(server.wait(), 128 + SIGKILL);
        }
        killsDuringSave += tempFileChanged(temp, tempBefore) ? 1 : 0;
        expectedProfiles = expectCompleteStores(dir.path(), threads);
    }

    // The last kill's files load too, and a normal stop still saves them whole.
    ServerProcess server(dir.path(), serverArgs(tools::freeLoopbackPort()));
    ASSERT_TRUE(server.waitForOutput("persistent player profiles")) << server.err();
    expectCleanLoad(server, expectedProfiles);
    cleanLoads += HasFailure() ? 0 : 1;
    server.signal(SIGINT);
    EXPECT_EQ(server.wait(), 0);
    expectCompleteStores(dir.path(), threads);
    net::stopSocketLibrary();

    uint32_t sessions = 0;
    for (const CrashPlayerThread& t : threads) sessions += t.sessions;
    std::cout << "crash safety: seed " << seed << ", " << kKills << " kills, " << cleanLoads
              << " clean loads, " << killsDuringSave << " kills during a profile save, "
              << sessions << " player sessions\n";
    RecordProperty("seed", std::to_string(seed));
    RecordProperty("cleanLoads", cleanLoads);
    RecordProperty("killsDuringSave", killsDuringSave);
}

}  // namespace
}  // namespace karst::testing
