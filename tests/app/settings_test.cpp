// The decimal conversion and the settings phase: precedence of file and command
// line, the --config pre-scan, the order in which --help, unknown arguments and
// bad values end the phase, and validation. Each phase test runs in its own
// scratch working directory, so "server.ini" exists only when a test writes it.
#include "app/settings.h"
#include "store/shared_store.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace karst {
namespace {

TEST(ParseUnsigned, LeadingDigitsSignsAndLimits) {
    const struct {
        const char* text;
        ParseStatus status;
        uint32_t value;
    } cases[] = {
        {"12x", ParseStatus::Ok, 12},
        {" \t\n\v\f\r+0000000000000000000042", ParseStatus::Ok, 42},
        {"-1", ParseStatus::Ok, 4294967295u},
        {"", ParseStatus::Invalid, 0},
        {"+-5", ParseStatus::Invalid, 0},
        {"4294967296", ParseStatus::OutOfRange, 0},
        {"-4294967296", ParseStatus::OutOfRange, 0},
        {"99999999999999999999999x", ParseStatus::OutOfRange, 0},
    };
    for (const auto& c : cases) {
        const ParsedNumber<uint32_t> parsed = parseUnsigned(c.text);
        EXPECT_EQ(parsed.status, c.status) << '"' << c.text << '"';
        EXPECT_EQ(parsed.ok() ? parsed.value : 0u, c.value) << '"' << c.text << '"';
    }
    EXPECT_EQ(parseUnsigned64("18446744073709551615").value, 18446744073709551615ull);
    EXPECT_EQ(parseUnsigned64("18446744073709551616").status, ParseStatus::OutOfRange);
    EXPECT_EQ(parseUnsigned64("-1").value, 18446744073709551615ull);
}

class SettingsPhaseTest : public ::testing::Test {
protected:
    void SetUp() override { dir_.enter(); }

    static SettingsPhase run(const std::vector<std::string>& args) { return runSettingsPhase(args); }

    // Every console line in order, each as "out: text" or "err: text".
    static std::string console(const SettingsPhase& phase) {
        std::string text;
        for (const ConsoleLine& line : phase.lines)
            text += (line.error ? "err: " : "out: ") + line.text + "\n";
        return text;
    }

    testing::TempDir dir_;
};

std::string out(const std::string& text) { return "out: " + text + "\n"; }
std::string err(const std::string& text) { return "err: " + text + "\n"; }

TEST_F(SettingsPhaseTest, WhatEndsThePhaseAndWhatItPrints) {
    const std::string usage = out(usageLine());
    const std::string capacity = err("Capacity values must be positive.");
    const std::string tooLong = err("Server name, mod list, or advertised host is too long.");
    const struct {
        std::vector<std::string> args;
        std::optional<int> exitCode;
        std::string console;
    } cases[] = {
        {{}, std::nullopt, ""},
        {{"--config", "nowhere.ini", "--help"}, 2, err("Unable to open server config nowhere.ini")},
        {{"--config", "."}, 2, err("Unable to open server config .")},  // a directory
        {{"--bogus", "--help"}, 2, err("Unknown argument: --bogus") + usage},
        {{"-h", "--bogus"}, 0, usage},
        {{"--max-clients", "0", "--help"}, 0, usage},  // nothing validated
        {{"--port=5"}, 2, err("Unknown argument: --port=5") + usage},
        {{"--PORT", "5"}, 2, err("Unknown argument: --PORT") + usage},
        {{"--handshake-timeout", "5"}, 2, err("Unknown argument: --handshake-timeout") + usage},
        {{"--bind", "::1", "--port"}, 2, usage},
        {{"--port", "abc", "--help"}, 2, err("Invalid value for --port: abc")},
        {{"--help", "--port", "abc"}, 0, usage},
        {{"--max-clients", "4294967296"}, 2, err("Invalid value for --max-clients: 4294967296")},
        {{"--starting-rings", "18446744073709551616"},
         2,
         err("Invalid value for --starting-rings: 18446744073709551616")},
        {{"--master-port", ""}, 2, err("Invalid value for --master-port: ")},
        {{"--max-room", "0"}, 2, capacity},
        {{"--min-ready", "0"}, 2, capacity},
        {{"--proxies", "32"}, std::nullopt, ""},
        {{"--proxies", "33"}, 2, err("Proxy player count must be between 0 and 32.")},
        {{"--name", std::string(47, 'n'), "--mods", std::string(255, 'm'), "--advertise-host",
          std::string(63, 'a'), "--master-host", std::string(500, 'h')},
         std::nullopt,
         ""},
        {{"--name", ""}, 2, tooLong},
        {{"--name", std::string(48, 'n')}, 2, tooLong},
        {{"--mods", std::string(256, 'm')}, 2, tooLong},
        {{"--advertise-host", std::string(64, 'a')}, 2, tooLong},
        {{"--name", "", "--proxies", "40", "--max-room", "0"}, 2, capacity},  // first failure only
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0] + " " + std::to_string(c.args.size()));
        const SettingsPhase phase = run(c.args);
        EXPECT_EQ(phase.exitCode, c.exitCode);
        EXPECT_EQ(console(phase), c.console);
    }
}

TEST_F(SettingsPhaseTest, QueryPortIsReadFromTheFileAndMustDifferFromTheGamePort) {
    const std::string clash = err("Query port must differ from the game port.");
    dir_.write("server.ini", "[query]\nport = 27015\n");
    EXPECT_EQ(run({}).exitCode, 2);
    EXPECT_EQ(console(run({})), out("Loaded server config server.ini") + clash);
    const SettingsPhase moved = run({"--port", "27016"});
    EXPECT_FALSE(moved.exitCode);
    EXPECT_EQ(moved.settings.queryPort, 27015);
    dir_.write("server.ini", "[query]\nport = 27016\n");
    EXPECT_FALSE(run({}).exitCode);
    EXPECT_EQ(run({"--port", "27016"}).exitCode, 2);
}

TEST_F(SettingsPhaseTest, RconRefusesToStartWithoutAUsablePasswordAndNeverPrintsIt) {
    const auto phaseWith = [&](const std::string& rconLines) {
        dir_.write("server.ini", "[rcon]\nport = 27099\n" + rconLines);
        return run({});
    };
    const std::string loaded = out("Loaded server config server.ini");
    EXPECT_EQ(console(phaseWith("")), loaded + err("RCON is on but no password file is set ([rcon] passwordfile)."));
    EXPECT_EQ(phaseWith("").exitCode, 2);
    EXPECT_EQ(console(phaseWith("passwordfile = absent.txt\n")),
              loaded + err("Unable to read the RCON password file absent.txt"));
    const struct {
        std::string contents;
        std::string refusal;  // empty: accepted
    } cases[] = {
        {"", "The RCON password in pw.txt is empty."},
        {"\r\nsecond line is not read", "The RCON password in pw.txt is empty."},
        {"elevenbytes\n", "The RCON password in pw.txt is shorter than 12 bytes."},
        {"twelve bytes\r\n", ""},
        {std::string(4096, 'p'), ""},
        {std::string(4097, 'p'), "The RCON password in pw.txt is longer than 4096 bytes."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.contents.substr(0, 20));
        const std::string path = dir_.write("pw.txt", c.contents);
        std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        const SettingsPhase phase = phaseWith("passwordfile = pw.txt\n");
        EXPECT_EQ(phase.exitCode, c.refusal.empty() ? std::nullopt : std::optional<int>(2));
        EXPECT_EQ(console(phase), loaded + (c.refusal.empty() ? "" : err(c.refusal)));
    }
    dir_.write("pw.txt", "twelve bytes\n");
    EXPECT_EQ(phaseWith("passwordfile = pw.txt\n").settings.rconPassword, "twelve bytes");
    EXPECT_EQ(phaseWith("passwordfile = pw.txt\nmaxconnections = 0\n").exitCode, 2);
    std::filesystem::permissions(dir_.file("pw.txt"), std::filesystem::perms::group_read,
                                 std::filesystem::perm_options::add);
    const SettingsPhase exposed = phaseWith("passwordfile = pw.txt\n");
    EXPECT_FALSE(exposed.exitCode);
    EXPECT_EQ(exposed.settings.rconPassword, "twelve bytes");
    EXPECT_EQ(console(exposed), loaded + err("Warning: the RCON password file pw.txt is readable by group or "
                                             "others; make it the owner's alone (chmod 600)"));
    // Off by default: no file is needed.
    dir_.write("server.ini", "[rcon]\nport = 0\n");
    EXPECT_FALSE(run({}).exitCode);
}

TEST_F(SettingsPhaseTest, CommandLineWinsOverTheFileEvenBeforeConfig) {
    dir_.write("server.ini", "[server]\nport = 30000\nproxies = x\n");
    const SettingsPhase byDefault = run({});
    EXPECT_EQ(byDefault.settings.port, 30000);
    EXPECT_EQ(console(byDefault), err("Warning: ignored invalid server.proxies in server.ini") +
                                      out("Loaded server config server.ini"));

    dir_.write("a.ini", "[server]\nport = 1\nname = From File\n[master]\nlisted = on\n");
    dir_.write("b.ini", "[server]\nport = 2222\n");
    const SettingsPhase phase = run({"--port", "27020", "--private", "--config", "a.ini",
                                     "--config", "b.ini"});
    EXPECT_FALSE(phase.exitCode);
    EXPECT_EQ(phase.settings.port, 27020);
    EXPECT_EQ(phase.settings.serverName, "From File");
    EXPECT_FALSE(phase.settings.listed);
    EXPECT_EQ(console(phase), out("Loaded server config a.ini"));  // only the first --config

    // A lone --config reads the default file, then misses its value.
    const SettingsPhase lone = run({"--config"});
    EXPECT_EQ(lone.exitCode, 2);
    EXPECT_EQ(console(lone), err("Warning: ignored invalid server.proxies in server.ini") +
                                 out("Loaded server config server.ini") + out(usageLine()));
}

TEST_F(SettingsPhaseTest, TheStoreBackendAndItsLeaseAreCheckedBeforeTheServerStarts) {
    const auto exitCodeWith = [&](const std::string& store) {
        dir_.write("server.ini", "[store]\n" + store);
        return run({}).exitCode;
    };
    EXPECT_FALSE(exitCodeWith("backend = files\nleaseseconds = 2\n"));
    EXPECT_FALSE(exitCodeWith("backend = files\nleaseseconds = 3600\n"));
    EXPECT_EQ(exitCodeWith("leaseseconds = 1\n"), 2);
    EXPECT_EQ(exitCodeWith("leaseseconds = 3601\n"), 2);
    EXPECT_EQ(exitCodeWith("backend = sqlite\n"), 2);
    dir_.write("server.ini", "[store]\nbackend = postgresql\n");
    const SettingsPhase database = run({});
    if (databaseBackendBuilt()) {
        EXPECT_FALSE(database.exitCode);
    } else {
        EXPECT_EQ(database.exitCode, 2);
        EXPECT_NE(console(database).find("err: This server was built without PostgreSQL support"),
                  std::string::npos);
    }
}

TEST_F(SettingsPhaseTest, ValuesAreTakenAsTheyComeAndConvertLikeTheFile) {
    const SettingsPhase phase =
        run({"--name", "--help", "--mods", "a", "--mods", "b", "--port", "65536", "--master-port",
             "70000", "--starting-rings", "123456789", "--max-room", "9x"});
    EXPECT_FALSE(phase.exitCode);
    EXPECT_EQ(phase.settings.serverName, "--help");
    EXPECT_EQ(phase.settings.modList, "b");
    EXPECT_EQ(phase.settings.port, 0);
    EXPECT_EQ(phase.settings.masterPort, 4464);
    EXPECT_EQ(phase.settings.startingRings, 9'999'999u);
    EXPECT_EQ(phase.settings.maxPlayersPerRoom, 9u);
    EXPECT_EQ(run({"--starting-rings", "5"}).settings.startingRings, 5u);
}

}  // namespace
}  // namespace karst
