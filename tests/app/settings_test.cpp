// The decimal conversion and the settings phase: precedence of file and command
// line, the --config pre-scan, the order in which --help, unknown arguments and
// bad values end the phase, and validation. Each phase test runs in its own
// scratch working directory, so "server.ini" exists only when a test writes it.
#include "app/settings.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>

namespace karst {
namespace {

TEST(ParseUnsigned, ReadsLeadingDigitsAfterSpaceAndSign) {
    EXPECT_EQ(parseUnsigned("12x").value, 12u);
    EXPECT_EQ(parseUnsigned(" \t\n\v\f\r+7").value, 7u);
    EXPECT_EQ(parseUnsigned("0000000000000000000042").value, 42u);
    EXPECT_EQ(parseUnsigned("4294967295").value, 4294967295u);
    EXPECT_TRUE(parseUnsigned("0").ok());
}

TEST(ParseUnsigned, MinusNegatesModulo2To32) {
    EXPECT_EQ(parseUnsigned("-1").value, 4294967295u);
    EXPECT_EQ(parseUnsigned("-4294967295").value, 1u);
    EXPECT_EQ(parseUnsigned("-0").value, 0u);
}

TEST(ParseUnsigned, NoDigitIsInvalidAndTooLargeIsOutOfRange) {
    for (const char* text : {"", "   ", "abc", "-", "+", "+-5", "- 5", "x12"}) {
        EXPECT_EQ(parseUnsigned(text).status, ParseStatus::Invalid) << '"' << text << '"';
    }
    EXPECT_EQ(parseUnsigned("4294967296").status, ParseStatus::OutOfRange);
    EXPECT_EQ(parseUnsigned("-4294967296").status, ParseStatus::OutOfRange);
    EXPECT_EQ(parseUnsigned("99999999999999999999999x").status, ParseStatus::OutOfRange);
}

TEST(ParseUnsigned64, LimitIs2To64Minus1) {
    EXPECT_EQ(parseUnsigned64("18446744073709551615").value, 18446744073709551615ull);
    EXPECT_EQ(parseUnsigned64("18446744073709551616").status, ParseStatus::OutOfRange);
    EXPECT_EQ(parseUnsigned64("-1").value, 18446744073709551615ull);
    EXPECT_EQ(parseUnsigned64("4294967296").value, 4294967296ull);
    EXPECT_EQ(parseUnsigned64("none").status, ParseStatus::Invalid);
}

class SettingsPhaseTest : public ::testing::Test {
protected:
    void SetUp() override { dir_.enter(); }

    SettingsPhase run(std::initializer_list<std::string> args) {
        const std::vector<std::string> list(args);
        return runSettingsPhase(list);
    }

    testing::TempDir dir_;
};

ConsoleLine out(std::string text) { return {false, std::move(text)}; }
ConsoleLine err(std::string text) { return {true, std::move(text)}; }

// Compares kind and text of every line, in order.
std::vector<std::pair<bool, std::string>> flat(const std::vector<ConsoleLine>& lines) {
    std::vector<std::pair<bool, std::string>> result;
    for (const ConsoleLine& line : lines) result.emplace_back(line.error, line.text);
    return result;
}

::testing::AssertionResult linesAre(const std::vector<ConsoleLine>& actual,
                                    std::initializer_list<ConsoleLine> expected) {
    if (flat(actual) == flat(expected)) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << "lines were:";
    for (const ConsoleLine& line : actual)
        failure << (line.error ? "\n err " : "\n out ") << line.text;
    return failure;
}

TEST_F(SettingsPhaseTest, NoArgumentsAndNoFileGiveDefaultsSilently) {
    const SettingsPhase phase = run({});
    EXPECT_FALSE(phase.exitCode);
    EXPECT_TRUE(phase.lines.empty());
    EXPECT_EQ(phase.settings.bindAddress, "0.0.0.0");
    EXPECT_EQ(phase.settings.port, 27015);
}

TEST_F(SettingsPhaseTest, DefaultFileIsLoadedAndReported) {
    dir_.write("server.ini", "[server]\nport = 30000\nproxies = x\n");
    const SettingsPhase phase = run({});
    EXPECT_FALSE(phase.exitCode);
    EXPECT_EQ(phase.settings.port, 30000);
    EXPECT_TRUE(linesAre(phase.lines, {err("Warning: ignored invalid server.proxies in "
                                           "server.ini"),
                                       out("Loaded server config server.ini")}));
}

TEST_F(SettingsPhaseTest, CommandLineWinsEvenBeforeConfig) {
    dir_.write("other.ini", "[server]\nport = 1\nname = From File\n[master]\nlisted = on\n");
    const SettingsPhase phase = run({"--port", "27020", "--private", "--config", "other.ini"});
    EXPECT_FALSE(phase.exitCode);
    EXPECT_EQ(phase.settings.port, 27020);
    EXPECT_EQ(phase.settings.serverName, "From File");
    EXPECT_FALSE(phase.settings.listed);
    EXPECT_TRUE(linesAre(phase.lines, {out("Loaded server config other.ini")}));
}

TEST_F(SettingsPhaseTest, OnlyTheFirstConfigIsReadAndBothPairsAreSkipped) {
    dir_.write("a.ini", "[server]\nport = 1111\n");
    dir_.write("b.ini", "[server]\nport = 2222\n");
    const SettingsPhase phase = run({"--config", "a.ini", "--config", "b.ini"});
    EXPECT_FALSE(phase.exitCode);
    EXPECT_EQ(phase.settings.port, 1111);
    EXPECT_TRUE(linesAre(phase.lines, {out("Loaded server config a.ini")}));
}

TEST_F(SettingsPhaseTest, ConfigAloneTriesDefaultFileThenMissesItsValue) {
    dir_.write("server.ini", "");
    const SettingsPhase phase = run({"--config"});
    EXPECT_EQ(phase.exitCode, 2);
    EXPECT_TRUE(linesAre(phase.lines, {out("Loaded server config server.ini"), out(usageLine())}));
}

TEST_F(SettingsPhaseTest, MissingExplicitConfigEndsBeforeHelpIsSeen) {
    const SettingsPhase phase = run({"--config", "nowhere.ini", "--help"});
    EXPECT_EQ(phase.exitCode, 2);
    EXPECT_TRUE(linesAre(phase.lines, {err("Unable to open server config nowhere.ini")}));
}

TEST_F(SettingsPhaseTest, FirstOfUnknownArgumentAndHelpDecides) {
    const SettingsPhase unknownFirst = run({"--bogus", "--help"});
    EXPECT_EQ(unknownFirst.exitCode, 2);
    EXPECT_TRUE(linesAre(unknownFirst.lines, {err("Unknown argument: --bogus"), out(usageLine())}));

    const SettingsPhase helpFirst = run({"-h", "--bogus"});
    EXPECT_EQ(helpFirst.exitCode, 0);
    EXPECT_TRUE(linesAre(helpFirst.lines, {out(usageLine())}));

    EXPECT_EQ(run({"--max-clients", "0", "--help"}).exitCode, 0);  // nothing validated
}

TEST_F(SettingsPhaseTest, OptionsMatchExactly) {
    for (const char* argument : {"--port=5", "--PORT", "--po", "-H", "--handshake-timeout"}) {
        const SettingsPhase phase = run({argument, "5"});
        EXPECT_EQ(phase.exitCode, 2) << argument;
        ASSERT_FALSE(phase.lines.empty());
        EXPECT_EQ(phase.lines[0].text, std::string("Unknown argument: ") + argument);
    }
}

TEST_F(SettingsPhaseTest, ValueIsTakenWhateverItLooksLikeAndLastWins) {
    const SettingsPhase phase = run({"--name", "--help", "--mods", "a", "--mods", "b"});
    EXPECT_FALSE(phase.exitCode);
    EXPECT_EQ(phase.settings.serverName, "--help");
    EXPECT_EQ(phase.settings.modList, "b");
}

TEST_F(SettingsPhaseTest, MissingValuePrintsOnlyUsage) {
    const SettingsPhase phase = run({"--bind", "::1", "--port"});
    EXPECT_EQ(phase.exitCode, 2);
    EXPECT_TRUE(linesAre(phase.lines, {out(usageLine())}));
}

TEST_F(SettingsPhaseTest, InvalidNumberStopsWhereItIsMet) {
    const SettingsPhase phase = run({"--port", "abc", "--help"});
    EXPECT_EQ(phase.exitCode, 2);
    EXPECT_TRUE(linesAre(phase.lines, {err("Invalid value for --port: abc")}));

    EXPECT_EQ(run({"--help", "--port", "abc"}).exitCode, 0);
    EXPECT_EQ(run({"--max-clients", "4294967296"}).lines.at(0).text,
              "Invalid value for --max-clients: 4294967296");
    EXPECT_EQ(run({"--starting-rings", "18446744073709551616"}).exitCode, 2);
    EXPECT_EQ(run({"--master-port", ""}).exitCode, 2);
}

TEST_F(SettingsPhaseTest, NumbersConvertLikeTheFile) {
    const SettingsPhase phase = run({"--port", "65536", "--master-port", "70000",
                                     "--starting-rings", "123456789", "--max-room", "9x"});
    EXPECT_FALSE(phase.exitCode);
    EXPECT_EQ(phase.settings.port, 0);
    EXPECT_EQ(phase.settings.masterPort, 4464);
    EXPECT_EQ(phase.settings.startingRings, 9'999'999u);
    EXPECT_EQ(phase.settings.maxPlayersPerRoom, 9u);
    EXPECT_EQ(run({"--starting-rings", "5"}).settings.startingRings, 5u);
}

TEST_F(SettingsPhaseTest, CapacitiesMustBePositive) {
    for (const char* option : {"--max-clients", "--max-room", "--min-ready"}) {
        const SettingsPhase phase = run({option, "0"});
        EXPECT_EQ(phase.exitCode, 2) << option;
        EXPECT_TRUE(linesAre(phase.lines, {err("Capacity values must be positive.")}));
    }
}

TEST_F(SettingsPhaseTest, ProxyCountRunsFrom0To32) {
    EXPECT_FALSE(run({"--proxies", "0"}).exitCode);
    EXPECT_FALSE(run({"--proxies", "32"}).exitCode);
    const SettingsPhase phase = run({"--proxies", "33"});
    EXPECT_EQ(phase.exitCode, 2);
    EXPECT_TRUE(linesAre(phase.lines, {err("Proxy player count must be between 0 and 32.")}));
}

TEST_F(SettingsPhaseTest, TextLengthLimits) {
    const std::string tooLong = "Server name, mod list, or advertised host is too long.";
    EXPECT_FALSE(run({"--name", std::string(47, 'n')}).exitCode);
    EXPECT_FALSE(run({"--mods", std::string(255, 'm'), "--advertise-host", std::string(63, 'a'),
                      "--master-host", std::string(500, 'h')})
                     .exitCode);
    for (const auto& args : {std::vector<std::string>{"--name", ""},
                             std::vector<std::string>{"--name", std::string(48, 'n')},
                             std::vector<std::string>{"--mods", std::string(256, 'm')},
                             std::vector<std::string>{"--advertise-host", std::string(64, 'a')}}) {
        const SettingsPhase phase = runSettingsPhase(args);
        EXPECT_EQ(phase.exitCode, 2) << args[0];
        EXPECT_TRUE(linesAre(phase.lines, {err(tooLong)}));
    }
}

TEST_F(SettingsPhaseTest, ValidationReportsOnlyTheFirstFailure) {
    const SettingsPhase phase = run({"--name", "", "--proxies", "40", "--max-room", "0"});
    EXPECT_TRUE(linesAre(phase.lines, {err("Capacity values must be positive.")}));
}

}  // namespace
}  // namespace karst
