// The ban file of a running server: edits take effect, bad lines are skipped
// with a warning, refusals are reported once a minute per address, the file
// survives a kill at any moment, and console lines never run ahead of the store.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "app/console.h"
#include "app/console_line.h"
#include "support/players.h"
#include "support/console_lines.h"
#include "support/process.h"

namespace karst::testing {
namespace {

// Passes the server's ban-file check: some real passes run after the clock moved.
void passTime(KarstClient& player, uint64_t ns) {
    advanceMonotonicClockForTesting(ns);
    for (int i = 0; i < 3; ++i) roundTrip(player);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    roundTrip(player);
}

TEST(BanFile, AnEditWhileRunningTakesEffectAndBadLinesAreSkippedWithAWarning) {
    ConsoleLines console;
    TestServer server;
    const std::string path = server.settings().banListPath;
    KarstClient alice = welcomedClient(server.port(), "Alice", 1);
    KarstClient bob = welcomedClient(server.port(), "Bob", 2);
    passTime(alice, 0);
    // The interval between checks is tested on both sides with the allow list,
    // which shares the ban file's check.
    writeBytes(path, bytesOf("# edited by hand\nkey " + formatProfileKeyHex(profileKeyFor(1)) +
                             " by hand\nnot a ban\n"));
    passTime(bob, 3 * kNsPerSecond);
    EXPECT_EQ(console.count("Reloaded ban list " + path + " (1 bans)"), 1u);
    EXPECT_EQ(console.count("Warning: ignored invalid ban at " + path + ":3"), 1u);
    EXPECT_EQ(awaitMessage(alice, MessageType::Notice, client::decodeNotice).text,
              "You are banned from this server: by hand");
    EXPECT_TRUE(alice.closedByPeer());
    roundTrip(bob);

    // A file that cannot be read keeps the bans in force, with one warning that
    // says why, however often it is tried, until it reads again.
    const std::string unreadable =
        "Warning: could not read ban list " + path + ": Is a directory; keeping the 1 bans in force";
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    passTime(bob, 3 * kNsPerSecond);
    passTime(bob, 3 * kNsPerSecond);
    EXPECT_EQ(console.count(unreadable), 1u);
    KarstClient again = helloWith(server.port(), profileKeyFor(1));
    EXPECT_EQ(awaitNotice(again), 11);
    // Removed altogether, it is an empty list.
    std::filesystem::remove(path);
    passTime(bob, 3 * kNsPerSecond);
    welcomedClient(server.port(), "Alice", 1);
    // Failing again after that read is news again.
    std::filesystem::create_directory(path);
    passTime(bob, 3 * kNsPerSecond);
    EXPECT_EQ(console.count("Warning: could not read ban list " + path + ": Is a directory; keeping the 0 bans"), 1u);
}

TEST(BanFile, RefusedAddressIsReportedOnceAMinute) {
    FrozenClocks clocks;
    ConsoleLines console;
    TestServer server([](ServerSettings& s) { writeBytes(s.banListPath, bytesOf("address 127.0.0.0/8 local\n")); });
    const auto attempt = [&] {
        KarstClient c;
        ASSERT_TRUE(c.connect(server.port()));
        EXPECT_TRUE(c.closedByPeer());
    };
    const std::string line = "connection from 127.0.0.1 refused: banned address 127.0.0.0/8";
    attempt();
    attempt();
    EXPECT_EQ(console.count(line), 1u);
    advanceMonotonicClockForTesting(60 * kNsPerSecond - 1);
    attempt();
    EXPECT_EQ(console.count(line), 1u);
    advanceMonotonicClockForTesting(1);
    attempt();
    EXPECT_EQ(console.count(line), 2u);
}

TEST(BanFile, PlayerLinesArePrintedOnlyOnceTheStoreHoldsTheirChange) {
    std::string storePath;
    std::mutex mutex;
    std::vector<std::string> early;
    std::atomic<bool> armed{false};
    ConsoleLines console([&](std::string_view line) {
        // On the server's thread, at the moment of printing: the store the test
        // removed must be back, holding both players.
        if (!armed || line.find("player") != 0) return;
        const std::vector<uint8_t> bytes = readBytes(storePath);
        for (uint8_t n : {1, 2}) {
            const ProfileKey key = profileKeyFor(n);
            if (std::search(bytes.begin(), bytes.end(), key.begin(), key.end()) != bytes.end()) continue;
            std::lock_guard<std::mutex> lock(mutex);
            early.emplace_back(line);
        }
    });
    TestServer server;
    storePath = server.settings().profileStorePath;
    KarstClient first = welcomedClient(server.port(), "First", 1);
    KarstClient second = welcomedClient(server.port(), "Second", 2);
    roundTrip(first);
    armed = true;
    std::filesystem::remove(storePath);
    second.close();
    while (console.count(" disconnected") == 0) roundTrip(first);
    std::filesystem::remove(storePath);
    KarstClient again = welcomedClient(server.port(), "Second", 2);
    roundTrip(again);
    EXPECT_EQ(console.count(" connected as Second"), 2u);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_TRUE(early.empty()) << early.front() << " was printed before the store held it";
}

TEST(BanFile, FileWrittenByTheServerIsWholeAfterAKillAtAnyMoment) {
    TempDir dir;
    std::mt19937 random(12345);
    const std::regex banLine("key [0-9a-f]{32} round [0-5]");
    size_t banned = 0;
    for (int kill = 0; kill < 6; ++kill) {
        ServerProcess server(dir.path(), {"--bind", "127.0.0.1", "--port", "0"}, ProgramInput::Pipe);
        ASSERT_TRUE(server.waitForOutput("persistent player profiles"));
        std::string commands;
        for (int i = 0; i < 400; ++i) {
            ProfileKey key = profileKeyFor(static_cast<uint8_t>(i));
            key[1] = static_cast<uint8_t>(kill);
            key[2] = static_cast<uint8_t>(i >> 8);
            commands += "ban-key " + formatProfileKeyHex(key) + " round " + std::to_string(kill) + "\n";
        }
        server.sendInput(commands);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
        server.signal(SIGKILL);
        server.wait();
        // Read as the README gives the format, not with the server's own parser.
        const std::string bytes = fileText(dir.path() / "SAVEDATA" / "karst-bans.txt");
        EXPECT_TRUE(bytes.empty() || bytes.back() == '\n');
        std::istringstream lines(bytes);
        size_t bans = 0;
        for (std::string line; std::getline(lines, line); ++bans)
            EXPECT_TRUE(std::regex_match(line, banLine)) << "kill " << kill << ": " << line;
        EXPECT_GE(bans, banned);  // nothing confirmed earlier is lost
        banned = bans;
    }
}

}  // namespace
}  // namespace karst::testing
