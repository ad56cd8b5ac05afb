// The built program under a small descriptor limit. It says how many clients it
// can hold and accepts no more, keeping descriptors for its saves; and when
// descriptors it did not count on are taken (inherited from the test) and accept
// runs out, it rests instead of spinning, a remote console waiting to log in
// included. Either way it keeps serving the players it has and admits a waiting
// player once one leaves.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "client/rcon_client.h"
#include "common/command_line.h"
#include "support/players.h"
#include "support/process.h"

namespace karst::testing {
namespace {

// Limit 48 makes the server plan for 32 clients; 20 descriptors it did not
// count on leave room for fewer, so accept fails before the planned capacity.
constexpr unsigned long kOpenFileLimit = 48;
constexpr int kInheritedDescriptors = 20;
constexpr int kPlayers = 36;

// User plus system CPU time of a process, in clock ticks: fields 14 and 15 of
// its stat line, counted past the command name, which sits in parentheses and
// may hold spaces.
long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skipped;
    for (int i = 3; i < 14; ++i) fields >> skipped;
    long utime = 0, stime = 0;
    fields >> utime >> stime;
    return utime + stime;
}

const std::string kCapacityWarning =
    "Warning: the open file limit of 48 holds only 32 clients at once, not maxclients 2048";

// The program under the small limit, having inherited `inherited` descriptors
// it did not count on; players say Hello in order and are sorted by whether the
// server let them in.
struct LimitedServer {
    TempDir dir;
    uint16_t port = tools::freeLoopbackPort();
    uint16_t rconPort = tools::freeLoopbackPort();
    std::unique_ptr<ServerProcess> process;
    std::vector<KarstClient> players;
    std::vector<KarstClient*> admitted;
    std::vector<KarstClient*> waiting;

    explicit LimitedServer(int inherited) {
        // Open without close-on-exec, so the server inherits them.
        std::ofstream(dir.path() / "rcon.txt") << "a long enough secret\n";
        std::ofstream(dir.path() / "server.ini")
            << "[rcon]\nport = " << rconPort << "\npasswordfile = rcon.txt\n";
        std::vector<int> taken;
        for (int i = 0; i < inherited; ++i) taken.push_back(::open("/dev/null", O_RDONLY));
        process = std::make_unique<ServerProcess>(
            dir.path(),
            std::vector<std::string>{"--bind", "127.0.0.1", "--port", std::to_string(port),
                                     "--private", "--proxies", "0"},
            ProgramInput::None, ProcessLimits{kOpenFileLimit});
        for (const int fd : taken) ::close(fd);
    }

    // Once the start-up report, warning of the capacity the limit allows, is out.
    void admitPlayers() {
        ASSERT_TRUE(process->waitForOutput("persistent player profiles"));
        EXPECT_NE(process->err().find(kCapacityWarning), std::string::npos) << process->err();
        net::startSocketLibrary();
        for (int i = 0; i < kPlayers; ++i)
            players.push_back(helloWith(port, profileKeyFor(static_cast<uint8_t>(i + 1))));
        // The backlog is first in, first out: after the first player left
        // waiting, every later one waits too.
        for (KarstClient& player : players) {
            const bool welcomed =
                waiting.empty() && player.awaitWelcome(admitted.empty() ? 2000 : 300);
            (welcomed ? admitted : waiting).push_back(&player);
        }
    }

    // Resting, not spinning: well under a tenth of a core while players wait;
    // the admitted are served, and a waiting player gets in once one leaves.
    void expectRestServeAndAdmitOnLeave() {
        const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
        const long before = cpuTicks(process->pid());
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_LT(cpuTicks(process->pid()) - before, ticksPerSecond / 10);

        for (KarstClient* player : admitted) roundTrip(*player);
        admitted.front()->close();
        EXPECT_TRUE(waiting.front()->awaitWelcome(3000).has_value())
            << "a waiting player was not admitted after another left";
        roundTrip(*admitted.back());
    }
};

TEST(FileLimits, AtThePlannedCapacityPlayersWaitWithoutSpinAndSavesKeepWorking) {
    LimitedServer server(0);
    server.admitPlayers();
    EXPECT_EQ(server.admitted.size(), 32u);
    ASSERT_FALSE(server.waiting.empty());
    server.expectRestServeAndAdmitOnLeave();
    // The reserve kept descriptors for the saves of every log-on and log-off.
    EXPECT_EQ(server.process->err().find("could not"), std::string::npos) << server.process->err();
}

TEST(FileLimits, OutOfDescriptorsTheServerRestsServesItsPlayersAndAdmitsTheNextOnALeave) {
    LimitedServer server(kInheritedDescriptors);
    server.admitPlayers();
    ASSERT_FALSE(server.admitted.empty());
    ASSERT_FALSE(server.waiting.empty()) << "every player was admitted: the limit did not bite";
    EXPECT_LT(server.admitted.size(), 32u);
    const std::string warning = "Warning: could not accept a connection: Too many open files";
    EXPECT_EQ(countOf(server.process->err(), warning), 1u) << server.process->err();
    client::RconClient console;
    ASSERT_TRUE(console.connect(server.rconPort));
    server.expectRestServeAndAdmitOnLeave();
}

}  // namespace
}  // namespace karst::testing
