// The remote console against a real server over loopback: the console's
// commands and replies, the login and its lockout, the deadlines on the
// server's clock, the packet size limits and the connection cap.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/rcon_lockouts.h"
#include "client/rcon_client.h"
#include "common/command_line.h"
#include "net/clock.h"
#include "support/console_lines.h"
#include "support/players.h"
#include "support/test_server.h"

namespace karst::testing {
namespace {

using client::RconClient;

constexpr const char* kPassword = "a long enough secret";

ServerSettings withRcon(ServerSettings& s, uint32_t maxConnections = 4) {
    s.rconPort = tools::freeLoopbackPort();
    s.rconPassword = kPassword;
    s.rconMaxConnections = maxConnections;
    return s;
}

RconClient loggedIn(uint16_t port) {
    RconClient c;
    EXPECT_TRUE(c.connect(port));
    EXPECT_EQ(c.login(kPassword), std::optional<bool>(true));
    return c;
}

// One wrong password: one refusing answer, then the server closes.
void failLogin(uint16_t port) {
    RconClient c;
    ASSERT_TRUE(c.connect(port));
    ASSERT_TRUE(c.send(5, client::kRconTypeAuth, "wrong password"));
    const auto answer = c.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->id, -1);
    EXPECT_EQ(answer->type, client::kRconTypeAuthResponse);
    EXPECT_TRUE(c.closedByPeer());
}

TEST(RconConsole, CommandsAnswerWithTheConsoleLinesAndThePasswordIsNeverPrinted) {
    ConsoleLines lines;
    TestServer server([](ServerSettings& s) { withRcon(s); });
    const uint16_t port = server.settings().rconPort;
    KarstClient player = welcomedClient(server.port(), "Ann", 1);
    RconClient rcon = loggedIn(port);

    const auto status = rcon.command("status");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->rfind("name: KARST Server\n", 0), 0u) << *status;
    EXPECT_NE(status->find("connections: 1 of 2048 (1 authenticated, 0 in handshake)\n"), std::string::npos);
    EXPECT_EQ(rcon.command("KICK"), "Usage: kick TARGET [REASON]\n");  // refusals too
    EXPECT_EQ(rcon.command(""), "");

    EXPECT_EQ(lines.count(": status"), 1u);
    EXPECT_NE(lines.find("rcon 127.0.0.1:").find(": status"), std::string::npos);
    EXPECT_EQ(lines.count("rcon 127.0.0.1:"), 2u);  // the empty command is not recorded
    EXPECT_EQ(lines.count("name: KARST Server"), 0u);  // replies go to the client only
    failLogin(port);
    roundTrip(player);
    EXPECT_EQ(lines.count(kPassword), 0u);
    EXPECT_EQ(lines.count("wrong password"), 0u);
}

TEST(RconConsole, ThirdFailedLoginLocksTheAddressForSixtySeconds) {
    FrozenClocks clocks;
    ConsoleLines lines;
    TestServer server([](ServerSettings& s) { withRcon(s); });
    const uint16_t port = server.settings().rconPort;
    failLogin(port);
    failLogin(port);
    loggedIn(port);  // two failures do not lock, and a login forgets them
    failLogin(port);
    failLogin(port);
    RconClient waiting;  // opened before the lockout: it cannot log in during it
    ASSERT_TRUE(waiting.connect(port));
    failLogin(port);
    EXPECT_TRUE(lines.await("rcon 127.0.0.1 refused for 60 s after 3 failed logins"));
    EXPECT_EQ(waiting.login(kPassword), std::optional<bool>(false));

    advanceMonotonicClockForTesting(kRconLockoutNs - 1);
    RconClient early;
    ASSERT_TRUE(early.connect(port));
    EXPECT_TRUE(early.closedByPeer());  // at accept, without an answer
    advanceMonotonicClockForTesting(1);
    loggedIn(port);
    EXPECT_EQ(lines.count("refused for 60 s"), 1u);
}

TEST(RconConsole, LoginDeadlineAndIdleLimitOnTheServersClock) {
    FrozenClocks clocks;
    TestServer server([](ServerSettings& s) {
        withRcon(s);
        // The clock jumps 10 minutes with no renewal between: on a shared store the
        // player's lease must outlast that, or its session ends.
        s.leaseSeconds = kMaxLeaseSeconds;
    });
    const uint16_t port = server.settings().rconPort;
    KarstClient player = welcomedClient(server.port(), "P", 1);  // its round trips end a pass
    RconClient idle = loggedIn(port);
    RconClient slow, late;
    ASSERT_TRUE(slow.connect(port));
    roundTrip(player);  // accepted at this reading of the clock
    advanceMonotonicClockForTesting(kRconLoginDeadlineNs - 1);
    roundTrip(player);
    EXPECT_EQ(slow.login(kPassword), std::optional<bool>(true));
    ASSERT_TRUE(late.connect(port));
    roundTrip(player);
    advanceMonotonicClockForTesting(kRconLoginDeadlineNs);
    roundTrip(player);
    EXPECT_TRUE(late.closedByPeer());

    // `idle` last spoke at its login, `slow` 5 s later.
    advanceMonotonicClockForTesting(kRconIdleLimitNs - 2 * kRconLoginDeadlineNs);
    roundTrip(player);
    EXPECT_FALSE(idle.closedByPeer(0));
    advanceMonotonicClockForTesting(1);
    roundTrip(player);
    EXPECT_TRUE(idle.closedByPeer());
    EXPECT_EQ(slow.command("bans"), "0 bans\n");
}

TEST(RconConsole, PacketSizeLimitsOnBothSides) {
    TestServer server([](ServerSettings& s) { withRcon(s); });
    const uint16_t port = server.settings().rconPort;
    RconClient rcon = loggedIn(port);
    // 4,106 bytes: a 4,096-byte command line, refused by the console's own rule.
    EXPECT_EQ(rcon.command(std::string(4096, 'x')), "Console line longer than 1024 bytes ignored\n");
    std::vector<uint8_t> tooLarge = RconClient::encode(9, client::kRconTypeCommand, std::string(4097, 'x'));
    ASSERT_TRUE(rcon.sendRaw(tooLarge));
    EXPECT_TRUE(rcon.closedByPeer());

    RconClient smallest = loggedIn(port);
    const uint8_t tenBytes[] = {10, 0, 0, 0, 7, 0, 0, 0, 2, 0, 0, 0, 0, 0};
    ASSERT_TRUE(smallest.sendRaw(tenBytes));
    EXPECT_EQ(smallest.receive()->id, 7);
    const uint8_t nineBytes[] = {9, 0, 0, 0, 7, 0, 0, 0, 2, 0, 0, 0, 0};
    ASSERT_TRUE(smallest.sendRaw(nineBytes));
    EXPECT_TRUE(smallest.closedByPeer());

    RconClient early;  // a command before the login closes
    ASSERT_TRUE(early.connect(port));
    ASSERT_TRUE(early.send(1, client::kRconTypeCommand, "status"));
    EXPECT_TRUE(early.closedByPeer());
}

TEST(RconConsole, LongRepliesSplitAndTheCapAndBansRefuseAtAccept) {
    FrozenClocks clocks;
    ConsoleLines lines;
    TempDir dir;
    ServerSettings settings = testSettings(dir.path());
    withRcon(settings, 2);
    std::string bans;
    for (int i = 0; i < 100; ++i)
        bans += "address 10.0." + std::to_string(i) + ".0/24 a reason long enough to span packets\n";
    writeBytes(settings.banListPath, bytesOf(bans));
    TestServer server(settings);
    const uint16_t port = settings.rconPort;
    KarstClient player = welcomedClient(server.port(), "P", 1);

    RconClient first = loggedIn(port);
    ASSERT_TRUE(first.send(3, client::kRconTypeCommand, "bans"));
    std::string text;
    std::vector<size_t> sizes;
    while (text.find("100 bans\n") == std::string::npos) {
        const auto piece = first.receive();
        ASSERT_TRUE(piece);
        EXPECT_EQ(piece->id, 3);
        sizes.push_back(piece->body.size());
        text += piece->body;
    }
    ASSERT_GE(sizes.size(), 2u);
    EXPECT_EQ(sizes.front(), 4096u);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 101);

    RconClient second = loggedIn(port);
    RconClient third;  // over the cap of two
    ASSERT_TRUE(third.connect(port));
    EXPECT_TRUE(third.closedByPeer());
    second.close();
    advanceMonotonicClockForTesting(5 * kNsPerSecond);
    afterTimers(player);
    EXPECT_EQ(server.prometheusSample("karst_rcon_logins_refused_total"), 1);
    // The ban reaches the player too, and its line goes to the client that asked.
    EXPECT_EQ(first.command("ban-address 127.0.0.1"),
              "banned address 127.0.0.1\nplayer " + std::to_string(player.playerId()) +
                  " kicked: banned address 127.0.0.1\n");
    RconClient banned;
    ASSERT_TRUE(banned.connect(port));
    EXPECT_TRUE(banned.closedByPeer());
    EXPECT_TRUE(lines.await("connection from 127.0.0.1 refused: banned"));
    EXPECT_EQ(first.command("unban 127.0.0.1"), "unbanned address 127.0.0.1\n");
    // A change the file cannot take is answered with the reason, here and on the console.
    std::filesystem::remove(settings.banListPath);
    std::filesystem::create_directory(settings.banListPath);
    const std::string warning = "Warning: could not save ban list " + settings.banListPath +
                                ": Is a directory; the change holds until restart\n";
    EXPECT_EQ(first.command("ban-key " + formatProfileKeyHex(profileKeyFor(9))), warning);
    EXPECT_TRUE(lines.await(warning.substr(0, warning.size() - 1)));
    // The reply leaves before the server stops.
    ASSERT_TRUE(first.send(8, client::kRconTypeCommand, "stop"));
    const auto stopping = first.receive();
    ASSERT_TRUE(stopping);
    EXPECT_EQ(stopping->body, "stopping: the stores are saved on the way out\n");
}

TEST(RconLockouts, FailuresCountWithinAPeriodAndMemoryStaysBounded) {
    RconLockouts lockouts;
    const net::IpAddress a = *net::parseIpAddress("192.0.2.1");
    const net::IpAddress b = *net::parseIpAddress("2001:db8::1");
    const uint64_t t = 1000 * kNsPerSecond;
    EXPECT_FALSE(lockouts.noteFailure(a, t));
    EXPECT_FALSE(lockouts.noteFailure(b, t));
    EXPECT_FALSE(lockouts.noteFailure(a, t + kRconLockoutNs - 1));
    EXPECT_TRUE(lockouts.noteFailure(a, t + kRconLockoutNs - 1));
    EXPECT_FALSE(lockouts.locked(b, t + kRconLockoutNs));
    EXPECT_FALSE(lockouts.noteFailure(a, t + kRconLockoutNs + 4));  // announced once
    // Failures further apart than a period start the count again.
    EXPECT_FALSE(lockouts.noteFailure(b, t + kRconLockoutNs));
    EXPECT_FALSE(lockouts.noteFailure(b, t + kRconLockoutNs + 1));
    EXPECT_TRUE(lockouts.noteFailure(b, t + kRconLockoutNs + 2));
    // Memory stays bounded however many addresses fail.
    for (uint32_t i = 0; i < kMaxRconLockoutEntries + 10; ++i)
        (void)lockouts.noteFailure(*net::parseIpAddress("10." + std::to_string(i >> 16) + "." +
                                                        std::to_string((i >> 8) & 255) + "." +
                                                        std::to_string(i & 255)),
                                   t);
    EXPECT_LE(lockouts.size(), kMaxRconLockoutEntries);
}

}  // namespace
}  // namespace karst::testing
