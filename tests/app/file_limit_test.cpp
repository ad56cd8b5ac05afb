// The built program under a small descriptor limit, with descriptors it did not
// count on already taken (inherited from the test): it says how many clients it
// can hold, and when accept runs out it rests instead of spinning, keeps
// serving the players it has, and admits a waiting player once one leaves.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "support/free_port.h"
#include "support/players.h"
#include "support/process.h"

namespace karst::testing {
namespace {

// Limit 48 makes the server plan for 32 clients; 20 descriptors it did not
// count on leave room for fewer, so accept fails before the planned capacity.
constexpr unsigned long kOpenFileLimit = 48;
constexpr int kInheritedDescriptors = 20;
constexpr int kPlayers = 30;

// User plus system CPU time of a process, in clock ticks.
long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which sits in parentheses and may hold spaces.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

// Descriptors open without close-on-exec, so the server inherits them.
struct InheritedDescriptors {
    std::vector<int> fds;
    explicit InheritedDescriptors(int count) {
        for (int i = 0; i < count; ++i) fds.push_back(::open("/dev/null", O_RDONLY));
    }
    ~InheritedDescriptors() {
        for (int fd : fds) ::close(fd);
    }
};

TEST(FileLimits, OutOfDescriptorsTheServerRestsServesItsPlayersAndAdmitsTheNextOnALeave) {
    TempDir dir;
    const uint16_t port = freeLoopbackPort();
    std::unique_ptr<ServerProcess> server;
    {
        InheritedDescriptors taken(kInheritedDescriptors);
        server = std::make_unique<ServerProcess>(
            dir.path(),
            std::vector<std::string>{"--bind", "127.0.0.1", "--port", std::to_string(port),
                                     "--private", "--proxies", "0"},
            ProgramInput::None, ProcessLimits{kOpenFileLimit});
    }
    ASSERT_TRUE(server->waitForOutput("persistent player profiles"));
    EXPECT_NE(server->err().find("Warning: the open file limit of 48 holds only 32 clients at "
                                 "once, not maxclients 2048"),
              std::string::npos)
        << server->err();
    net::startSocketLibrary();

    std::vector<KarstClient> players;
    for (int i = 0; i < kPlayers; ++i)
        players.push_back(helloWith(port, profileKeyFor(static_cast<uint8_t>(i + 1))));
    // The backlog is first in, first out: after the first player left waiting,
    // every later one waits too.
    std::vector<KarstClient*> admitted, waiting;
    for (KarstClient& player : players) {
        const bool welcomed = waiting.empty() && player.awaitWelcome(admitted.empty() ? 2000 : 300);
        (welcomed ? admitted : waiting).push_back(&player);
    }
    ASSERT_FALSE(admitted.empty());
    ASSERT_FALSE(waiting.empty()) << "every player was admitted: the limit did not bite";
    EXPECT_NE(server->err().find("Warning: could not accept a connection: Too many open files"),
              std::string::npos)
        << server->err();

    // Resting, not spinning: well under a tenth of a core while players wait.
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    const long before = cpuTicks(server->pid());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(cpuTicks(server->pid()) - before, ticksPerSecond / 10);

    for (KarstClient* player : admitted) roundTrip(*player);
    admitted.front()->close();
    EXPECT_TRUE(waiting.front()->awaitWelcome(3000).has_value())
        << "a waiting player was not admitted after another left";
    roundTrip(*admitted.back());
}

}  // namespace
}  // namespace karst::testing
