// The built program end to end: usage and argument errors, bind failure, the
// start-up report, and the operator console driven through a pipe on its
// standard input against real loopback players, down to each way it stops.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "app/console_line.h"
#include "support/players.h"
#include "support/process.h"

namespace karst::testing {
namespace {

// The program with a console, its own directory (with `ini` as its server.ini
// when given), and the port it really bound.
class ConsoleServer {
public:
    explicit ConsoleServer(const std::string& bind = "127.0.0.1", const std::string& ini = "")
        : process_(withIni(dir_, ini), {"--bind", bind, "--port", "0", "--proxies", "0"}, ProgramInput::Pipe) {
        EXPECT_TRUE(process_.waitForOutput("persistent player profiles"));
        const std::string status = command("status", "bans: ");
        const size_t at = status.find(" tcp ");
        port_ = at == std::string::npos ? 0 : static_cast<uint16_t>(std::stoi(status.substr(at + 5)));
    }

    // Runs `line` and returns what it printed on standard output, up to the
    // line that contains `lastLine`.
    std::string command(const std::string& line, const std::string& lastLine) {
        const size_t mark = process_.out().size();
        EXPECT_TRUE(process_.sendInput(line + "\n"));
        EXPECT_TRUE(process_.waitForOutput(lastLine, mark, std::chrono::seconds(10)))
            << "no \"" << lastLine << "\" after " << line;
        return process_.out().substr(mark);
    }
    // Runs `line` and expects `error` on standard error.
    void refused(const std::string& line, const std::string& error) {
        const size_t mark = process_.err().size();
        EXPECT_TRUE(process_.sendInput(line + "\n"));
        EXPECT_TRUE(process_.waitForError(error, mark, std::chrono::seconds(10))) << line;
    }
    size_t countOutput(const std::string& text) const { return countOf(process_.out(), text); }

    uint16_t port() const { return port_; }
    ServerProcess& process() { return process_; }
    std::filesystem::path file(const std::string& name) const { return dir_.path() / "SAVEDATA" / name; }

private:
    static std::filesystem::path withIni(const TempDir& dir, const std::string& ini) {
        if (!ini.empty()) writeBytes(dir.path() / "server.ini", bytesOf(ini));
        return dir.path();
    }

    TempDir dir_;
    ServerProcess process_;
    uint16_t port_ = 0;
};

std::string hexOf(uint8_t n) { return formatProfileKeyHex(profileKeyFor(n)); }

// The Notice that ends the connection, after which the server closes it.
client::Notice awaitClosingNotice(KarstClient& player) {
    const client::Notice notice = awaitMessage(player, MessageType::Notice, client::decodeNotice);
    EXPECT_TRUE(player.closedByPeer());
    return notice;
}

bool storeHolds(const std::filesystem::path& store, const ProfileKey& key) {
    return fileText(store).find(std::string(key.begin(), key.end())) != std::string::npos;
}

// Each word that stops the server stops it alike: exit code 0 and the profile
// store, removed beforehand, written again holding player n.
void expectCleanStopBy(ConsoleServer& server, const std::string& word, uint8_t n) {
    std::filesystem::remove(server.file("karst-profile-store.bin"));
    server.command(word, "stopping");
    EXPECT_EQ(server.process().wait(), 0) << word;
    EXPECT_TRUE(storeHolds(server.file("karst-profile-store.bin"), profileKeyFor(n))) << word;
}

const std::string kUsage =
    "Usage: karst_server [--config PATH] [--bind ADDRESS] [--port PORT] [--name NAME] "
    "[--mods LIST] [--max-clients N] [--max-room N] [--min-ready N] [--proxies N] "
    "[--starting-rings N] [--save PATH] [--pibo-store PATH] [--profile-store PATH] "
    "[--metrics PATH] [--master-host HOST] [--master-port PORT] [--advertise-host HOST] "
    "[--private]\n";

TEST(Program, HelpExitsZeroAnUnknownArgumentTwoAndAnAddressOfAnotherMachineOne) {
    TempDir dir;
    std::string out, err;
    EXPECT_EQ(runServer(dir.path(), {"--help"}, &out), 0);
    EXPECT_EQ(out, kUsage);
    EXPECT_EQ(runServer(dir.path(), {"--bogus", "--help"}, &out, &err), 2);
    EXPECT_EQ(err, "Unknown argument: --bogus\n");
    EXPECT_EQ(out, kUsage);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "SAVEDATA"));  // nothing started

    // 192.0.2.1 is reserved for documentation and never an address of this machine.
    EXPECT_EQ(runServer(dir.path(), {"--bind", "192.0.2.1", "--port", "0"}, &out, &err), 1);
    // The line operators know, then the address and the system's reason; the
    // stores were written before the bind.
    EXPECT_EQ(err,
              "Unable to bind the dedicated server.\n"
              "Could not bind TCP 192.0.2.1:0: Cannot assign requested address\n");
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "SAVEDATA" / "karst-profile-store.bin"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "SAVEDATA" / "karst-pibo-store.bin"));
}

TEST(ConsoleProgram, ListAndStatusShowRealPlayersAndKickRemovesTheRightOne) {
    ConsoleServer server;
    KarstClient alice = welcomedClient(server.port(), "Alice", 1);
    KarstClient bob = welcomedClient(server.port(), "Bob", 2);
    KarstClient guest;
    ASSERT_TRUE(guest.connect(server.port()));
    enterRoom(alice, kHubRoom, {});
    roundTrip(bob);

    const std::string status = server.command("status", "bans: ");
    EXPECT_NE(status.find("connections: 3 of 2048 (2 authenticated, 1 in handshake)"), std::string::npos);
    EXPECT_NE(status.find("rooms in use: 1\n"), std::string::npos);
    EXPECT_NE(status.find("profile store: 2 records, last save succeeded"), std::string::npos);

    const std::string id = std::to_string(alice.playerId());
    const std::string list = server.command("list", "3 connections");
    EXPECT_NE(list.find("player " + id + " name \"Alice\" character 0 room 0/0/0/7 address 127.0.0.1:"),
              std::string::npos) << list;
    EXPECT_NE(list.find("key " + hexOf(1) + " udp no connected "), std::string::npos);
    EXPECT_NE(list.find("rings 1000\n"), std::string::npos);
    EXPECT_NE(list.find("name \"Bob\" character 0 room no room"), std::string::npos);
    EXPECT_NE(list.find("(handshake pending) address 127.0.0.1:"), std::string::npos);
    const std::string inHub = server.command("LIST 0", "1 connection\n");
    EXPECT_NE(inHub.find("\"Alice\""), std::string::npos);
    EXPECT_EQ(inHub.find("\"Bob\""), std::string::npos);

    const std::string bobId = std::to_string(bob.playerId());
    server.command("kick bob  spamming the chat", "player " + bobId + " kicked: spamming the chat");
    const client::Notice notice = awaitClosingNotice(bob);
    EXPECT_EQ(notice.code, 9);
    EXPECT_EQ(notice.text, "spamming the chat");
    roundTrip(alice);
    EXPECT_TRUE(alice.connected() && !alice.peerClosed());

    server.command("kick " + id, "player " + id + " kicked\n");
    EXPECT_EQ(awaitClosingNotice(alice).text, "You were removed from the server");
}

TEST(ConsoleProgram, MistakesAndOverlongLinesAreRefusedWithoutEffect) {
    ConsoleServer server;
    KarstClient sam1 = welcomedClient(server.port(), "Sam", 3);
    KarstClient sam2 = welcomedClient(server.port(), "SAM", 4);
    server.refused("kick sam", "Several players are named \"sam\" (players " +
                                   std::to_string(sam1.playerId()) + ", " + std::to_string(sam2.playerId()) +
                                   "): use a player id");
    server.refused("ban nobody", "No player matches \"nobody\"");
    server.refused("frobnicate now", "Unknown command: frobnicate (type help)");
    server.refused("kick", "Usage: kick TARGET [REASON]");
    server.refused("ban-key 1234", "Not a profile key");
    server.refused("ban-address 10.0.0.1/33", "Not an IPv4 or IPv6 address or network");
    server.refused("unban 10.9.9.9", "No ban matches address 10.9.9.9");
    server.refused("allow " + hexOf(1), "The allow list is off");
    // Cut into pieces, this line would run "stop" and "kick".
    server.refused("stop" + std::string(600, ' ') + "kick " + std::to_string(sam1.playerId()) +
                       std::string(600, ' '),
                   "Console line longer than 1024 bytes ignored");
    roundTrip(sam1);
    roundTrip(sam2);
    EXPECT_FALSE(sam1.peerClosed() || sam2.peerClosed());
    const std::string help = server.command("help", "(also quit, exit)");
    for (const char* name : {"status", "list", "kick", "ban", "ban-key", "ban-address", "unban", "bans",
                              "allow", "disallow", "allowed", "say", "save", "stop"})
        EXPECT_NE(help.find(std::string("\n") + name + " "), std::string::npos) << name;
    EXPECT_NE(server.command("status", "bans: 0").find("connections: 2 of"), std::string::npos);
}

TEST(ConsoleProgram, BansByPlayerKeyAndAddressKeepPlayersOutUntilLifted) {
    ConsoleServer server;
    KarstClient alice = welcomedClient(server.port(), "Alice", 1);
    server.command("ban alice cheating", "banned key " + hexOf(1));
    client::Notice notice = awaitClosingNotice(alice);
    EXPECT_EQ(notice.code, 11);
    EXPECT_EQ(notice.text, "You are banned from this server: cheating");

    // Back with the banned key and a new name: told, closed, profile untouched.
    KarstClient again = helloWith(server.port(), profileKeyFor(1), "Renamed");
    EXPECT_EQ(awaitClosingNotice(again).code, 11);
    server.command("ban-key " + hexOf(2) + " alt account", "banned key " + hexOf(2));
    KarstClient second = helloWith(server.port(), profileKeyFor(2), "Second");
    EXPECT_EQ(awaitClosingNotice(second).text, "You are banned from this server: alt account");
    const std::string bans = server.command("bans", "2 bans");
    EXPECT_NE(bans.find("key " + hexOf(1) + " cheating\nkey " + hexOf(2) + " alt account\n"), std::string::npos);
    EXPECT_EQ(server.countOutput("connected as Renamed"), 0u);
    EXPECT_EQ(fileText(server.file("karst-profile-store.bin")).find("Renamed"), std::string::npos);

    server.command("unban " + hexOf(1), "unbanned key " + hexOf(1));
    KarstClient back = welcomedClient(server.port(), "Alice", 1);

    // A ban of the network around an address closes the players already on
    // from it and keeps new ones out at accept, without a word.
    server.command("ban-address 127.0.0.77/24", "banned address 127.0.0.0/24");
    EXPECT_EQ(awaitClosingNotice(back).code, 11);
    KarstClient inNetwork;
    ASSERT_TRUE(inNetwork.connect(server.port()));
    EXPECT_TRUE(inNetwork.closedByPeer());
    EXPECT_FALSE(inNetwork.receive(0).has_value());
    server.command("unban 127.0.0.0/24", "unbanned address 127.0.0.0/24");
    welcomedClient(server.port(), "Alice", 1);

    EXPECT_EQ(fileText(server.file("karst-bans.txt")), "key " + hexOf(2) + " alt account\n");
    expectCleanStopBy(server, "quit", 1);
}

TEST(ConsoleProgram, AllowListCommandsLetAFriendInAndKeepTheFile) {
    ConsoleServer server("127.0.0.1", "[files]\nallow = SAVEDATA/karst-allow.txt\n");
    EXPECT_EQ(server.countOutput("Loaded 0 allowed keys from SAVEDATA/karst-allow.txt; only listed players may log on"),
              1u);
    KarstClient stranger = helloWith(server.port(), profileKeyFor(1), "Friend");
    EXPECT_EQ(awaitClosingNotice(stranger).code, 13);
    server.command("allow " + hexOf(1) + " from school", "allowed key " + hexOf(1));
    KarstClient friendly = welcomedClient(server.port(), "Friend", 1);
    server.command("allow friend", "key " + hexOf(1) + " was already allowed");
    server.command("disallow Friend", "disallowed key " + hexOf(1));
    server.refused("disallow " + hexOf(1), "key " + hexOf(1) + " is not on the allow list");
    roundTrip(friendly);
    EXPECT_FALSE(friendly.peerClosed());
    // By player id, without a note: the player's name stands in the file.
    server.command("allow " + std::to_string(friendly.playerId()), "allowed key " + hexOf(1));
    server.command("allow " + hexOf(2) + " second", "allowed key " + hexOf(2));
    server.refused("allow 1234", "No player matches \"1234\"");
    const std::string listed = server.command("allowed", "2 allowed keys");
    EXPECT_NE(listed.find("key " + hexOf(1) + " Friend\nkey " + hexOf(2) + " second\n"), std::string::npos);
    EXPECT_EQ(fileText(server.file("karst-allow.txt")), "key " + hexOf(1) + " Friend\nkey " + hexOf(2) + " second\n");
    expectCleanStopBy(server, "exit", 1);
}

TEST(ConsoleProgram, Ipv6AddressBanKeepsLoopbackOutAndTheEndOfInputStopsNothing) {
    ConsoleServer server("::1");
    ASSERT_NE(server.port(), 0);
    KarstClient before = helloWith(server.port(), profileKeyFor(6), "Six", 0, "::1");
    ASSERT_TRUE(before.awaitWelcome());
    EXPECT_NE(server.command("list", "1 connection").find("address [::1]:"), std::string::npos);
    server.command("ban-address ::1", "banned address ::1");
    EXPECT_EQ(awaitClosingNotice(before).code, 11);
    KarstClient refused;
    ASSERT_TRUE(refused.connect(server.port(), "::1"));
    EXPECT_TRUE(refused.closedByPeer());
    const size_t mark = server.process().out().size();
    server.process().sendInput("unban ::1");  // a last line without its line feed still runs
    server.process().closeInput();
    ASSERT_TRUE(server.process().waitForOutput("unbanned address ::1", mark, std::chrono::seconds(10)));
    EXPECT_TRUE(helloWith(server.port(), profileKeyFor(6), "Six", 0, "::1").awaitWelcome());
    server.process().signal(SIGINT);
    EXPECT_EQ(server.process().wait(), 0);
}

TEST(ConsoleProgram, StartUpReportSayReachesPlayersAfterHelloSaveReportsAndStopSaves) {
    ConsoleServer server;
    EXPECT_EQ(server.process().out().rfind(
                  "KARST dedicated server listening on 127.0.0.1:0 (global=2048, room=128, Central Plaza proxies=0)\n"
                  "Loaded 0 persistent Pibo records from SAVEDATA/karst-pibo-store.bin\n"
                  "Loaded 0 persistent player profiles from SAVEDATA/karst-profile-store.bin\n", 0),
              0u) << server.process().out();
    EXPECT_EQ(server.process().err().rfind("Warning: completed save unavailable at SAVEDATA/CometTrail01.snc\n", 0), 0u);
    KarstClient a = welcomedClient(server.port(), "A", 1);
    KarstClient b = welcomedClient(server.port(), "B", 2);
    KarstClient guest;
    ASSERT_TRUE(guest.connect(server.port()));
    server.command("status", "1 in handshake");
    server.command("say  Restart in 5 minutes", "notice sent to 2 players");
    for (KarstClient* player : {&a, &b}) {
        const auto notice = awaitMessage(*player, MessageType::Notice, client::decodeNotice);
        EXPECT_EQ(notice.code, 10);
        EXPECT_EQ(notice.text, "Restart in 5 minutes");
    }
    ASSERT_TRUE(guest.hello("G", 0, client::Colour{1, 2, 3}, profileKeyFor(3)));
    const std::optional<Frame> first = guest.receive();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->type(), MessageType::Welcome);  // no notice waited before it

    std::filesystem::remove(server.file("karst-pibo-store.bin"));
    const std::string saved = server.command("save", "saved Pibo store");
    EXPECT_NE(saved.find("saved profile store SAVEDATA/karst-profile-store.bin (3 records)"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(server.file("karst-pibo-store.bin")));
    expectCleanStopBy(server, "STOP", 3);
}

}  // namespace
}  // namespace karst::testing
