// The built program end to end: usage, argument errors, bind failure, a clean
// start and a stop by SIGINT.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "support/process.h"
#include "support/test_server.h"

namespace karst::testing {
namespace {

const std::string kUsage =
    "Usage: karst_server [--config PATH] [--bind ADDRESS] [--port PORT] [--name NAME] "
    "[--mods LIST] [--max-clients N] [--max-room N] [--min-ready N] [--proxies N] "
    "[--starting-rings N] [--save PATH] [--pibo-store PATH] [--profile-store PATH] "
    "[--metrics PATH] [--master-host HOST] [--master-port PORT] [--advertise-host HOST] "
    "[--private]\n";

TEST(Program, HelpExitsZeroAndAnUnknownArgumentTwoWithTheUsageLine) {
    TempDir dir;
    std::string out, err;
    EXPECT_EQ(runServer(dir.path(), {"--help"}, &out), 0);
    EXPECT_EQ(out, kUsage);
    EXPECT_EQ(runServer(dir.path(), {"--bogus", "--help"}, &out, &err), 2);
    EXPECT_EQ(err, "Unknown argument: --bogus\n");
    EXPECT_EQ(out, kUsage);
}

TEST(Program, AddressOfAnotherMachineCannotBeBoundAndStoresAreWritten) {
    TempDir dir;
    std::string out, err;
    // 192.0.2.1 is reserved for documentation and never an address of this machine.
    EXPECT_EQ(runServer(dir.path(), {"--bind", "192.0.2.1", "--port", "0"}, &out, &err), 1);
    // The specified line, then the address and the system's reason.
    EXPECT_EQ(err,
              "Unable to bind the dedicated server.\n"
              "Could not bind TCP 192.0.2.1:0: Cannot assign requested address\n");
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "SAVEDATA" / "karst-profile-store.bin"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "SAVEDATA" / "karst-pibo-store.bin"));
}

TEST(Program, StartsWithTheReportAndStopsCleanlyOnSigint) {
    TempDir dir;
    ServerProcess server(dir.path(), {"--bind", "127.0.0.1", "--port", "0", "--proxies", "2"});
    ASSERT_TRUE(server.waitForOutput("persistent player profiles"));
    server.signal(SIGINT);
    EXPECT_EQ(server.wait(), 0);
    EXPECT_EQ(server.out(),
              "KARST dedicated server listening on 127.0.0.1:0 (global=2048, room=128, "
              "Central Plaza proxies=2)\n"
              "Loaded 0 persistent Pibo records from SAVEDATA/karst-pibo-store.bin\n"
              "Loaded 0 persistent player profiles from SAVEDATA/karst-profile-store.bin\n");
    EXPECT_EQ(server.err(), "Warning: completed save unavailable at SAVEDATA/CometTrail01.snc\n");
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "SAVEDATA" / "karst-profile-store.bin"));
}

}  // namespace
}  // namespace karst::testing
