// The soak tool's own command-line rules on top of the shared parser (whose
// rules BotOptions tests): its bounds on both sides, its reason for refusing
// a remote host, and the options that only make sense with a server it starts.
#include "soak/soak_options.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace karst::soak {
namespace {

SoakOptionsOutcome parse(std::vector<std::string> args) { return parseSoakOptions(args); }

TEST(SoakOptions, BoundsAreInclusiveAndOneBeyondIsRefusedNamingTheOption) {
    struct Bound {
        const char* option;
        const char* belowLowest;  // nullptr when the lowest is 0
        const char* lowest;
        const char* highest;
        const char* aboveHighest;
    };
    const Bound bounds[] = {
        {"--port", "0", "1", "65535", "65536"},
        {"--duration", "0", "1", "86400", "86401"},
        {"--players", "1", "2", "1500", "1501"},
        {"--slow-readers", nullptr, "0", "64", "65"},
        {"--malformed-per-second", nullptr, "0", "200", "201"},
        {"--silent", nullptr, "0", "400", "401"},
        {"--ping-bound-ms", "0", "1", "60000", "60001"},
        {"--change-interval-ms", "99", "100", "600000", "600001"},
        {"--seed", nullptr, "0", "18446744073709551615", "18446744073709551616"},
    };
    for (const Bound& b : bounds) {
        SCOPED_TRACE(b.option);
        EXPECT_TRUE(parse({b.option, b.lowest}).options);
        EXPECT_TRUE(parse({b.option, b.highest}).options);
        EXPECT_NE(parse({b.option, b.aboveHighest}).error.find(b.option), std::string::npos);
        if (b.belowLowest) {
            EXPECT_NE(parse({b.option, b.belowLowest}).error.find(b.option), std::string::npos);
        }
    }
    EXPECT_EQ(parse({"--players", "30"}).options->players, 30u);
    EXPECT_TRUE(parse({"--port", "4000"}).options->portGiven);
}

TEST(SoakOptions, RemoteHostsAndSeedingWithoutAnOwnedServerAreRefused) {
    EXPECT_NE(parse({"--host", "10.0.0.1"}).error.find("a soak only ever targets"), std::string::npos);
    EXPECT_NE(parse({"--seed-profiles", "10"}).error.find("--server"), std::string::npos);
    const auto seeded = parse({"--seed-profiles", "1000000", "--server", "bin/s"});
    ASSERT_TRUE(seeded.options) << seeded.error;
    EXPECT_EQ(seeded.options->seedProfiles, 1000000u);
    EXPECT_NE(parse({"--seed-profiles", "1000001", "--server", "bin/s"}).error.find("--seed-profiles"),
              std::string::npos);
}

}  // namespace
}  // namespace karst::soak
