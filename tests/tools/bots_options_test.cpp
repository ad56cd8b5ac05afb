// The load generator's command line: defaults, every bound, the loopback-only
// host rule and the refusals that name their option.
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

TEST(BotOptions, NoArgumentsGiveTheDefaults) {
    const OptionsOutcome outcome = parse({});
    ASSERT_TRUE(outcome.options);
    const BotOptions& o = *outcome.options;
    EXPECT_EQ(o.host, "127.0.0.1");
    EXPECT_EQ(o.port, 27015);
    EXPECT_EQ(o.transport, Transport::Tcp);
    EXPECT_FALSE(o.json);
    EXPECT_LT(o.warmupSeconds, o.durationSeconds);
}

TEST(BotOptions, EveryOptionIsRead) {
    const OptionsOutcome outcome =
        parse({"--host", "::1", "--port", "4000", "--bots", "2048", "--room-size", "16",
               "--level", "12", "--act", "7", "--hz", "120", "--duration", "3600",
               "--transport", "udp", "--chat-per-minute", "150", "--events-per-second", "250",
               "--connect-rate", "10000", "--warmup", "3599", "--setup-timeout", "600", "--seed",
               "18446744073709551615", "--json"});
    ASSERT_TRUE(outcome.options) << outcome.error;
    const BotOptions& o = *outcome.options;
    EXPECT_EQ(o.host, "::1");
    EXPECT_EQ(o.port, 4000);
    EXPECT_EQ(o.bots, 2048u);
    EXPECT_EQ(o.roomSize, 16u);
    EXPECT_EQ(o.level, 12);
    EXPECT_EQ(o.act, 7);
    EXPECT_EQ(o.hz, 120u);
    EXPECT_EQ(o.durationSeconds, 3600u);
    EXPECT_EQ(o.transport, Transport::Udp);
    EXPECT_EQ(o.chatPerMinute, 150u);
    EXPECT_EQ(o.eventsPerSecond, 250u);
    EXPECT_EQ(o.connectRate, 10000u);
    EXPECT_EQ(o.warmupSeconds, 3599u);
    EXPECT_EQ(o.setupTimeoutSeconds, 600u);
    EXPECT_EQ(o.seed, 18446744073709551615ull);
    EXPECT_TRUE(o.json);
}

TEST(BotOptions, OnlyLoopbackHostsAreAccepted) {
    for (const char* host : {"127.0.0.1", "::1", "localhost"})
        EXPECT_EQ(errorFor("--host", host), "") << host;
    for (const char* host : {"10.0.0.1", "127.0.0.2", "0.0.0.0", "::", "LOCALHOST", "example.com",
                             "localhost.", " 127.0.0.1", "[::1]", ""}) {
        const std::string error = errorFor("--host", host);
        EXPECT_NE(error.find("--host"), std::string::npos) << "'" << host << "' was accepted";
    }
}

TEST(BotOptions, LocalhostConnectsToTheIpv4LoopbackLiteral) {
    EXPECT_EQ(loopbackAddress("localhost"), "127.0.0.1");
    EXPECT_EQ(loopbackAddress("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(loopbackAddress("::1"), "::1");
}

TEST(BotOptions, BoundsAreInclusiveAndOneBeyondIsRefused) {
    struct Bound {
        const char* option;
        const char* lowest;
        const char* belowLowest;  // nullptr when the lowest is 0
        const char* highest;
        const char* aboveHighest;
    };
    const Bound bounds[] = {
        {"--port", "1", "0", "65535", "65536"},
        {"--bots", "1", "0", "10000", "10001"},
        {"--room-size", "1", "0", "1024", "1025"},
        {"--level", "0", nullptr, "255", "256"},
        {"--act", "0", nullptr, "7", "8"},
        {"--hz", "1", "0", "120", "121"},
        {"--duration", "1", "0", "3600", "3601"},
        {"--chat-per-minute", "0", nullptr, "150", "151"},
        {"--events-per-second", "0", nullptr, "250", "251"},
        {"--connect-rate", "1", "0", "10000", "10001"},
        {"--setup-timeout", "1", "0", "600", "601"},
    };
    for (const Bound& b : bounds) {
        EXPECT_EQ(errorFor(b.option, b.lowest), "") << b.option;
        EXPECT_EQ(errorFor(b.option, b.highest), "") << b.option;
        if (b.belowLowest) {
            EXPECT_NE(errorFor(b.option, b.belowLowest).find(b.option), std::string::npos)
                << b.option;
        }
        EXPECT_NE(errorFor(b.option, b.aboveHighest).find(b.option), std::string::npos) << b.option;
    }
}

TEST(BotOptions, NumbersMustBePlainDecimal) {
    for (const char* text : {"", "+5", "-1", "0x10", "5a", " 5", "5 ", "1e3", "3.0",
                             "99999999999999999999999"}) {
        EXPECT_NE(errorFor("--bots", text), "") << "'" << text << "' was accepted";
        EXPECT_NE(errorFor("--seed", text), "") << "'" << text << "' was accepted";
    }
}

TEST(BotOptions, WarmupMustBeShorterThanTheRun) {
    const std::string error = parse({"--duration", "5", "--warmup", "5"}).error;
    EXPECT_NE(error.find("--warmup"), std::string::npos);
    EXPECT_TRUE(parse({"--duration", "5", "--warmup", "4"}).options);
    // The rule is checked after all options, whatever their order.
    EXPECT_TRUE(parse({"--warmup", "10", "--duration", "20"}).options);
}

TEST(BotOptions, TransportIsTcpOrUdpOnly) {
    EXPECT_EQ(errorFor("--transport", "udp"), "");
    EXPECT_NE(errorFor("--transport", "UDP"), "");
    EXPECT_NE(errorFor("--transport", "quic"), "");
}

TEST(BotOptions, UnknownOptionsAndMissingValuesAreRefused) {
    EXPECT_NE(parse({"--bot", "5"}).error.find("--bot"), std::string::npos);
    EXPECT_NE(parse({"--bots=5"}).error.find("--bots=5"), std::string::npos);
    EXPECT_NE(parse({"--bots"}).error.find("--bots"), std::string::npos);
    EXPECT_FALSE(parse({"extra"}).options);
}

TEST(BotOptions, RepeatedOptionTakesItsLastValue) {
    const OptionsOutcome outcome = parse({"--bots", "5", "--bots", "7"});
    ASSERT_TRUE(outcome.options);
    EXPECT_EQ(outcome.options->bots, 7u);
}

TEST(BotOptions, HelpWinsOverEverythingAfterIt) {
    const OptionsOutcome outcome = parse({"--bots", "5", "--help", "--host", "10.0.0.1"});
    EXPECT_TRUE(outcome.helpRequested);
    EXPECT_FALSE(outcome.options);
    EXPECT_TRUE(parse({"-h"}).helpRequested);
    EXPECT_NE(botUsage().find("--events-per-second"), std::string::npos);
}

}  // namespace
}  // namespace karst::bots
