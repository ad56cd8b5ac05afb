// The built program when its disk refuses writes: one warning naming the file
// and the reason, the reason again in the answer to a console command, one line
// when saving works again, and exit code 3 with an error line when the final
// save at a stop fails. The store's directory is replaced by a regular file,
// which refuses writes even to root.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>

#include "common/command_line.h"
#include "support/players.h"
#include "support/process.h"

namespace karst::testing {
namespace {

namespace fs = std::filesystem;

void blockDirectory(const fs::path& where) {
    fs::remove_all(where);
    std::ofstream(where) << "not a directory";
}

TEST(Program, FailingSavesWarnOnceSayWhenTheyRecoverAndALostFinalSaveExitsThree) {
    TempDir dir;
    const fs::path stores = dir.path() / "stores";
    blockDirectory(stores);
    std::ofstream(dir.path() / "server.ini") << "[files]\nbans = stores/bans.txt\n";
    const uint16_t port = tools::freeLoopbackPort();
    ServerProcess server(dir.path(), {"--bind", "127.0.0.1", "--port", std::to_string(port),
                                      "--private", "--proxies", "0", "--profile-store",
                                      "stores/profiles.bin"},
                         ProgramInput::Pipe);
    ASSERT_TRUE(server.waitForOutput("persistent player profiles"));
    net::startSocketLibrary();

    // Every log-on and log-off saves the profile store, and every one fails.
    for (uint8_t n = 1; n <= 3; ++n) {
        KarstClient player = welcomedClient(port, "P", n);
        player.close();
        ASSERT_TRUE(server.waitForOutput("player " + std::to_string(n) + " disconnected"));
    }
    const std::string warning =
        "Warning: could not save profile store stores/profiles.bin: Not a directory\n";
    EXPECT_EQ(countOf(server.err(), warning), 1u) << server.err();
    // What the operator asks for is answered with the reason every time.
    server.sendInput("save\n");
    EXPECT_TRUE(server.waitForError("Could not save profile store stores/profiles.bin: Not a directory\n"));
    server.sendInput("ban-key " + formatProfileKeyHex(profileKeyFor(9)) + "\n");
    EXPECT_TRUE(server.waitForError(
        "Warning: could not save ban list stores/bans.txt: Not a directory; the change holds until restart\n"));

    fs::remove(stores);
    fs::create_directory(stores);
    KarstClient stays = welcomedClient(port, "P", 4);
    ASSERT_TRUE(server.waitForOutput("Saved profile store stores/profiles.bin again after"));
    EXPECT_TRUE(std::regex_search(
        server.out(), std::regex("\nSaved profile store stores/profiles\\.bin again after "
                                 "[0-9]+ failed attempts\n")));
    EXPECT_TRUE(fs::exists(stores / "profiles.bin"));

    blockDirectory(stores);
    server.signal(SIGINT);
    EXPECT_EQ(server.wait(), 3);
    EXPECT_EQ(countOf(server.err(), warning), 1u);
    EXPECT_NE(server.err().find("Error: final save failed: could not save profile store "
                                "stores/profiles.bin: Not a directory\n"),
              std::string::npos)
        << server.err();
}

}  // namespace
}  // namespace karst::testing
