// The load generator's command line: the loopback-only host rule, every bound,
// plain decimal numbers, and the refusals that name their option.
#include "bots/bot_options.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace karst::bots {
namespace {

OptionsOutcome parse(std::vector<std::string> args) { return parseBotOptions(args); }

// The error for `option value`, or "" when it was accepted.
std::string errorFor(const std::string& option, const std::string& value) {
    return parse({option, value}).error;
}

bool refusedNaming(const std::string& option, const std::string& value) {
    return errorFor(option, value).find(option) != std::string::npos;
}

TEST(BotOptions, OnlyLoopbackHostsAreAccepted) {
    for (const char* host : {"127.0.0.1", "::1", "localhost"})
        EXPECT_EQ(errorFor("--host", host), "") << host;
    for (const char* host : {"10.0.0.1", "127.0.0.2", "0.0.0.0", "::", "LOCALHOST", "example.com",
                             "localhost.", " 127.0.0.1", "[::1]", ""})
        EXPECT_TRUE(refusedNaming("--host", host)) << "'" << host << "' was accepted";
    EXPECT_EQ(tools::loopbackAddress("localhost"), "127.0.0.1");
    EXPECT_EQ(tools::loopbackAddress("::1"), "::1");
}

TEST(BotOptions, BoundsAreInclusiveAndOneBeyondIsRefused) {
    struct Bound {
        const char* option;
        const char* belowLowest;  // nullptr when the lowest is 0
        const char* lowest;
        const char* highest;
        const char* aboveHighest;
    };
    const Bound bounds[] = {
        {"--port", "0", "1", "65535", "65536"},
        {"--bots", "0", "1", "10000", "10001"},
        {"--room-size", "0", "1", "1024", "1025"},
        {"--level", nullptr, "0", "255", "256"},
        {"--act", nullptr, "0", "7", "8"},
        {"--hz", "0", "1", "120", "121"},
        {"--duration", "0", "1", "3600", "3601"},
        {"--chat-per-minute", nullptr, "0", "150", "151"},
        {"--events-per-second", nullptr, "0", "250", "251"},
        {"--connect-rate", "0", "1", "10000", "10001"},
        {"--setup-timeout", "0", "1", "600", "601"},
        {"--first-room", nullptr, "0", "1000000", "1000001"},
    };
    for (const Bound& b : bounds) {
        SCOPED_TRACE(b.option);
        EXPECT_EQ(errorFor(b.option, b.lowest), "");
        EXPECT_EQ(errorFor(b.option, b.highest), "");
        EXPECT_TRUE(refusedNaming(b.option, b.aboveHighest));
        if (b.belowLowest) {
            EXPECT_TRUE(refusedNaming(b.option, b.belowLowest));
        }
    }
    EXPECT_EQ(parse({"--transport", "udp", "--seed", "18446744073709551615"}).error, "");
    EXPECT_TRUE(refusedNaming("--transport", "UDP"));
}

TEST(BotOptions, NumbersMustBePlainDecimal) {
    for (const char* text : {"", "+5", "-1", "0x10", "5a", " 5", "1e3", "99999999999999999999"}) {
        EXPECT_NE(errorFor("--bots", text), "") << "'" << text << "' was accepted";
        EXPECT_NE(errorFor("--seed", text), "") << "'" << text << "' was accepted";
    }
}

TEST(BotOptions, RulesAcrossOptions) {
    EXPECT_NE(parse({"--duration", "5", "--warmup", "5"}).error.find("--warmup"), std::string::npos);
    EXPECT_TRUE(parse({"--warmup", "10", "--duration", "20"}).options);  // checked after all
    EXPECT_EQ(parse({"--bots", "5", "--bots", "7"}).options->bots, 7u);
    EXPECT_TRUE(parse({"--hold", "--bots", "3"}).options->hold);  // a flag: takes no value
    EXPECT_NE(parse({"--bots=5"}).error.find("--bots=5"), std::string::npos);
    EXPECT_NE(parse({"--bots"}).error.find("--bots"), std::string::npos);
    const OptionsOutcome help = parse({"--bots", "5", "--help", "--host", "10.0.0.1"});
    EXPECT_TRUE(help.helpRequested);
    EXPECT_FALSE(help.options);
}

}  // namespace
}  // namespace karst::bots
