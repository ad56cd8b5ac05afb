// The allow list of a running server: who may log on, what a refused player and
// the operator see, and an edit of the file taking effect while it runs.
#include <gtest/gtest.h>

#include "app/console_line.h"
#include "support/console_lines.h"
#include "support/players.h"

namespace karst::testing {
namespace {

std::string hexOf(uint8_t n) { return formatProfileKeyHex(profileKeyFor(n)); }

// A server whose allow list holds `text`, and the list's path.
std::unique_ptr<TestServer> serverAllowing(const std::string& text, const std::string& bans = "") {
    return std::make_unique<TestServer>([&](ServerSettings& s) {
        s.allowListPath = (std::filesystem::path(s.banListPath).parent_path() / "karst-allow.txt").string();
        writeBytes(s.allowListPath, bytesOf(text));
        writeBytes(s.banListPath, bytesOf(bans));
    });
}

TEST(AllowList, OnlyListedKeysLogOnTheOperatorSeesWhoAndBansStillWin) {
    ConsoleLines console;
    const auto server = serverAllowing("key " + hexOf(1) + " Alice\nkey " + hexOf(3) + "\n",
                                       "key " + hexOf(3) + " cheating\n");
    const std::string path = server->settings().allowListPath;
    EXPECT_EQ(console.count("Loaded 2 allowed keys from " + path + "; only listed players may log on"), 1u);
    KarstClient alice = welcomedClient(server->port(), "Alice", 1);

    KarstClient tails = helloWith(server->port(), profileKeyFor(2), "Tails");
    const client::Notice notice = awaitMessage(tails, MessageType::Notice, client::decodeNotice);
    EXPECT_EQ(notice.code, 13);
    EXPECT_EQ(notice.text, "This server admits listed players only");
    EXPECT_TRUE(tails.closedByPeer());
    // A client that retries is refused each time, but named once.
    KarstClient again = helloWith(server->port(), profileKeyFor(2), "Tails");
    EXPECT_EQ(awaitNotice(again), 13);
    EXPECT_TRUE(again.closedByPeer());
    KarstClient banned = helloWith(server->port(), profileKeyFor(3), "Listed");
    EXPECT_EQ(awaitNotice(banned), 11);
    roundTrip(alice);
    EXPECT_EQ(console.count("connection from 127.0.0.1 refused: \"Tails\" key " + hexOf(2) +
                            " is not on the allow list"),
              1u);
    EXPECT_EQ(console.count(" refused: "), 1u);

    advanceMonotonicClockForTesting(6 * kNsPerSecond);
    afterTimers(alice);
    EXPECT_EQ(server->prometheusSample("karst_allow_list_refusals_total"), 2);
}

// The check runs every 2 s on the server's clock, for the ban file alike.
TEST(AllowList, AnEditTakesEffectAtTheNextCheckAndLeavesPlayersOn) {
    FrozenClocks clocks;
    ConsoleLines console;
    const auto server = serverAllowing("key " + hexOf(1) + "\n");
    const std::string path = server->settings().allowListPath;
    KarstClient alice = welcomedClient(server->port(), "Alice", 1);
    afterTimers(alice);
    writeBytes(path, bytesOf("# friends\nkey " + hexOf(2) + " Tails\naddress 127.0.0.1\nkey 12\n"));
    advanceMonotonicClockForTesting(2 * kNsPerSecond - 1);
    afterTimers(alice);
    EXPECT_EQ(console.count("Reloaded allow list"), 0u);
    KarstClient early = helloWith(server->port(), profileKeyFor(2), "Tails");
    EXPECT_EQ(awaitNotice(early), 13);

    advanceMonotonicClockForTesting(1);
    afterTimers(alice);
    EXPECT_EQ(console.count("Reloaded allow list " + path + " (1 allowed keys)"), 1u);
    EXPECT_EQ(console.count("Warning: ignored invalid allowed key at " + path + ":3"), 1u);
    EXPECT_EQ(console.count("Warning: ignored invalid allowed key at " + path + ":4"), 1u);
    welcomedClient(server->port(), "Tails", 2);
    // Alice is no longer listed, but the list decides who logs on, not who leaves.
    roundTrip(alice);
    EXPECT_FALSE(alice.peerClosed());
    KarstClient aliceAgain = helloWith(server->port(), profileKeyFor(1), "Alice");
    EXPECT_EQ(awaitNotice(aliceAgain), 13);
}

}  // namespace
}  // namespace karst::testing
