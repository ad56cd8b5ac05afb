// The soak tool's command line: defaults, bounds and the options that only make
// sense with a server the soak starts.
#include "soak/soak_options.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace karst::soak {
namespace {

SoakOptionsOutcome parse(std::vector<std::string> args) { return parseSoakOptions(args); }

TEST(SoakOptions, DefaultsAreAStandardMinuteOfTwoHundredPlayers) {
    const auto outcome = parse({});
    ASSERT_TRUE(outcome.options);
    EXPECT_EQ(outcome.options->durationSeconds, 60u);
    EXPECT_EQ(outcome.options->players, 200u);
    EXPECT_EQ(outcome.options->host, "127.0.0.1");
    EXPECT_FALSE(outcome.options->portGiven);
    EXPECT_TRUE(outcome.options->serverPath.empty());
}

TEST(SoakOptions, EveryOptionIsRead) {
    const auto outcome = parse({"--host", "::1", "--port", "4000", "--duration", "90", "--players",
                                "30", "--seed", "18446744073709551615", "--server", "bin/s",
                                "--cpu", "1", "--slow-readers", "2", "--malformed-per-second", "9",
                                "--silent", "7", "--ping-bound-ms", "500", "--change-interval-ms", "250", "--seed-profiles",
                                "1000", "--keep"});
    ASSERT_TRUE(outcome.options) << outcome.error;
    const SoakOptions& o = *outcome.options;
    EXPECT_EQ(o.host, "::1");
    EXPECT_EQ(o.port, 4000);
    EXPECT_TRUE(o.portGiven);
    EXPECT_EQ(o.durationSeconds, 90u);
    EXPECT_EQ(o.players, 30u);
    EXPECT_EQ(o.seed, UINT64_MAX);
    EXPECT_EQ(o.serverPath, "bin/s");
    EXPECT_EQ(o.cpu, 1);
    EXPECT_EQ(o.slowReaders, 2u);
    EXPECT_EQ(o.malformedPerSecond, 9u);
    EXPECT_EQ(o.silentConnections, 7u);
    EXPECT_EQ(o.pingBoundMs, 500u);
    EXPECT_EQ(o.changeIntervalMs, 250u);
    EXPECT_EQ(o.seedProfiles, 1000u);
    EXPECT_TRUE(o.keepDirectory);
}

TEST(SoakOptions, BoundsAndMalformedNumbersAreRefusedNamingTheOption) {
    for (const auto& [option, value] : std::vector<std::pair<std::string, std::string>>{
             {"--port", "0"}, {"--port", "65536"}, {"--duration", "0"}, {"--players", "1"},
             {"--players", "1501"}, {"--slow-readers", "65"}, {"--silent", "-1"},
             {"--ping-bound-ms", "0"}, {"--change-interval-ms", "99"}, {"--duration", "1e3"}, {"--seed", "18446744073709551616"}}) {
        const auto outcome = parse({option, value});
        EXPECT_FALSE(outcome.options) << option << " " << value;
        EXPECT_NE(outcome.error.find(option), std::string::npos) << outcome.error;
    }
}

TEST(SoakOptions, UnknownOptionsMissingValuesAndUnownedSeedingAreRefused) {
    EXPECT_NE(parse({"--bogus", "1"}).error.find("Unknown option --bogus"), std::string::npos);
    // The loopback rule is the tools' shared one (see BotOptions); the reason is the soak's own.
    EXPECT_NE(parse({"--host", "10.0.0.1"}).error.find("a soak only ever targets"), std::string::npos);
    EXPECT_EQ(parse({"--players"}).error, "--players needs a value.");
    EXPECT_NE(parse({"--seed-profiles", "10"}).error.find("--server"), std::string::npos);
    EXPECT_TRUE(parse({"--help", "--bogus"}).helpRequested);
}

}  // namespace
}  // namespace karst::soak
