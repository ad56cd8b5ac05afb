// Settings text: the decimal conversion and the value rules that the file and
// the command line share, the file's own syntax, and the settings phase
// (precedence, the --config pre-scan, what ends the phase, validation). Each
// phase test runs in its own scratch working directory, so "server.ini"
// exists only when a test writes it.
#include "app/config_file.h"
#include "app/settings.h"
#include "store/shared_store.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace karst {
namespace {

std::string shown(const ServerSettings& s, const app::SettingField& field) {
    switch (field.kind) {
        case app::FieldKind::Text: return s.*field.text;
        case app::FieldKind::Number:
        case app::FieldKind::Rings: return std::to_string(s.*field.number);
        case app::FieldKind::Port: return std::to_string(s.*field.port);
        case app::FieldKind::Boolean: return s.*field.flag ? "on" : "off";
    }
    return {};
}

// One rule per kind of value, whichever reader gives it. Numbers: leading white
// space and one sign, digits up to the first other byte, a minus wrapping
// around; a refused one keeps the field as it was (the defaults: 2048 clients,
// port 27015, 1000 rings).
TEST(SettingValue, EachKindConvertsOnBothSidesOfItsLimits) {
    const app::SettingField number = app::numberField(&ServerSettings::maxClients);
    const app::SettingField port = app::portField(&ServerSettings::port);
    const app::SettingField rings = app::ringsField(&ServerSettings::startingRings);
    const app::SettingField text = app::textField(&ServerSettings::serverName);
    const struct {
        app::SettingField field;
        std::string value;
        bool taken;
        std::string result;
    } cases[] = {
        {number, "4294967295", true, "4294967295"}, {number, "4294967296", false, "2048"},
        {number, "12abc", true, "12"},              {number, "abc", false, "2048"},
        {number, " \t\n\v\f\r+000000000000000042", true, "42"}, {number, "-1", true, "4294967295"},
        {number, "", false, "2048"},                {number, "+-5", false, "2048"},
        {number, "-4294967296", false, "2048"},     {number, "99999999999999999999999x", false, "2048"},
        {port, "65535", true, "65535"},             {port, "65536", true, "0"},  // wraps, not clamps
        {port, "70000", true, "4464"},              {port, "4294967296", false, "27015"},
        {rings, "9999999", true, "9999999"},        {rings, "10000000", true, "9999999"},
        {rings, "5", true, "5"},                    {rings, "18446744073709551615", true, "9999999"},
        {rings, "18446744073709551616", false, "1000"},
        {text, "My Server ; a=b", true, "My Server ; a=b"}, {text, "", true, ""},
    };
    for (const auto& c : cases) {
        ServerSettings s;
        EXPECT_EQ(app::assignSettingValue(s, c.field, c.value), c.taken) << c.value;
        EXPECT_EQ(shown(s, c.field), c.result) << c.value;
    }
    // A word that is no boolean keeps the flag as it was, and costs no warning.
    const app::SettingField flag = app::booleanField(&ServerSettings::listed);
    for (const bool before : {false, true}) {
        for (const char* word : {"1", "TRUE", "yes", "On", "0", "False", "NO", "off", "maybe"}) {
            ServerSettings s;
            s.listed = before;
            EXPECT_TRUE(app::assignSettingValue(s, flag, word));
            const bool yes = std::string("1TRUEyesOn").find(word) != std::string::npos;
            const bool no = std::string("0FalseNOoff").find(word) != std::string::npos;
            EXPECT_EQ(s.listed, yes || (!no && before)) << word;
        }
    }
}

struct Loaded {
    bool opened = false;
    ServerSettings settings;
    std::vector<ConsoleLine> lines;
};

class ConfigFile : public ::testing::Test {
protected:
    Loaded load(std::string_view contents) {
        Loaded result;
        path_ = dir_.write("server.ini", contents);
        result.opened = loadConfigFile(path_, result.settings, result.lines);
        return result;
    }

    testing::TempDir dir_;
    std::string path_;
};

// Each key of README's list lands in its own field: a key wired to a neighbour's
// field is the mistake no parser rule catches. Names ignore case and the spaces
// around them, and any line end works, the last line's missing one too.
TEST_F(ConfigFile, EveryKeySetsItsOwnFieldWhateverItsCaseSpacesAndLineEnds) {
    const Loaded r = load(
        "[ Server ]\nbind=127.0.0.2\nPORT=1001\nNAME\t=  My Cave  \r\nmods=M\nmaxclients=5\nmaxplayersperroom=6\n"
        "minimumready=2\nproxies=3\nstartingrings=42\nhandshaketimeout=30\nsendbudget=7\nmaxperaddress=8\n"
        "eventloop=poll\n[FILES]\r\ncompletedsave=a\npibostore=b\nprofilestore=c\nmetrics=d\nbans=e\n"
        "allow=f\nprometheus=g\n[store]\nbackend=postgresql\nurl=h\nleaseseconds=9\n[rcon]\nport=1002\n"
        "bind=127.0.0.3\npasswordfile=i\nmaxconnections=10\n[query]\nport=1004\n[master]\nlisted=no\n"
        "\v host = j\f\r\nport=1003\nadvertisehost=k");
    const ServerSettings& s = r.settings;
    EXPECT_TRUE(r.opened);
    EXPECT_TRUE(r.lines.empty());
    EXPECT_EQ(std::vector<std::string>({s.bindAddress, s.serverName, s.modList, s.eventLoop, s.completedSavePath,
                                        s.piboStorePath, s.profileStorePath, s.metricsPath, s.banListPath,
                                        s.allowListPath, s.prometheusPath, s.storeBackend, s.storeUrl,
                                        s.rconBind, s.rconPasswordFile, s.masterHost, s.advertiseHost}),
              std::vector<std::string>({"127.0.0.2", "My Cave", "M", "poll", "a", "b", "c", "d", "e", "f", "g",
                                        "postgresql", "h", "127.0.0.3", "i", "j", "k"}));
    EXPECT_EQ(std::vector<uint64_t>({s.port, s.maxClients, s.maxPlayersPerRoom, s.minimumReady, s.proxyCount,
                                     s.startingRings, s.handshakeTimeoutSeconds, s.sendBudgetMiB,
                                     s.maxConnectionsPerAddress, s.leaseSeconds, s.rconPort,
                                     s.rconMaxConnections, s.masterPort, s.queryPort}),
              std::vector<uint64_t>({1001, 5, 6, 2, 3, 42, 30, 7, 8, 9, 1002, 10, 1003, 1004}));
    EXPECT_FALSE(s.listed);
}

TEST_F(ConfigFile, KeysCountOnlyUnderARealHeaderOfTheirOwnSection) {
    const Loaded r = load(
        "port = 1\n; comment\n# comment\n\n[other]\nport = 2\n[]\nname = x\n[files]\nport = 3\n"
        "[master]\n[server\nport = 5\n[server = 9\n\xEF\xBB\xBF[server]\nport = 6\n");
    EXPECT_TRUE(r.lines.empty());
    EXPECT_EQ(r.settings.port, 27015);
    EXPECT_EQ(r.settings.serverName, "KARST Server");
    EXPECT_EQ(r.settings.masterPort, 6);  // neither "[server" nor the BOM line is a header
}

TEST_F(ConfigFile, BadNumbersWarnInOrderAndKeepThePreviousValue) {
    const Loaded r = load("[server]\nport = 1234\nport = abc\nHandshakeTimeout = soon\n[MASTER]\nPort = x\n");
    EXPECT_EQ(r.settings.port, 1234);
    EXPECT_EQ(r.settings.masterPort, 27016);
    ASSERT_EQ(r.lines.size(), 3u);
    const char* names[] = {"server.port", "server.handshaketimeout", "master.port"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(r.lines[i].error);
        EXPECT_EQ(r.lines[i].text, std::string("Warning: ignored invalid ") + names[i] + " in " + path_);
    }
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
        {{"--max-clients", "1", "--max-room", "1", "--min-ready", "1"}, std::nullopt, ""},
        {{"--max-clients", "0"}, 2, capacity},
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
    dir_.write("server.ini", "[query]\nport = 27015\n");
    EXPECT_EQ(console(run({})), out("Loaded server config server.ini") +
                                    err("Query port must differ from the game port."));
    EXPECT_EQ(run({}).exitCode, 2);
    const SettingsPhase moved = run({"--port", "27016"});
    EXPECT_FALSE(moved.exitCode);
    EXPECT_EQ(moved.settings.queryPort, 27015);
    EXPECT_EQ(run({"--port", "27015", "--port", "27016"}).settings.port, 27016);  // the last one counts
}

TEST_F(SettingsPhaseTest, RconRefusesToStartWithoutAUsablePasswordAndNeverPrintsIt) {
    const auto phaseWith = [&](const std::string& rconLines) {
        dir_.write("server.ini", "[rcon]\nport = 27099\n" + rconLines);
        return run({});
    };
    const std::string loaded = out("Loaded server config server.ini");
    EXPECT_EQ(console(phaseWith("")), loaded + err("RCON is on but no password file is set ([rcon] passwordfile)."));
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
    EXPECT_EQ(phaseWith("passwordfile = pw.txt\nmaxconnections = 0\n").exitCode, 2);
    EXPECT_FALSE(phaseWith("passwordfile = pw.txt\nmaxconnections = 1\n").exitCode);
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
    EXPECT_EQ(run({}).settings.port, 30000);

    dir_.write("a.ini", "[server]\nport = 1\nname = From File\n[master]\nlisted = on\n");
    dir_.write("b.ini", "[server]\nport = 2222\n");
    const SettingsPhase phase = run({"--port", "27020", "--private", "--config", "a.ini",
                                     "--config", "b.ini", "--name", "--help"});
    EXPECT_FALSE(phase.exitCode);
    EXPECT_EQ(phase.settings.port, 27020);
    EXPECT_EQ(phase.settings.serverName, "--help");  // a value is taken as it comes
    EXPECT_FALSE(phase.settings.listed);
    EXPECT_EQ(console(phase), out("Loaded server config a.ini"));  // only the first --config
    EXPECT_EQ(run({"--config", "a.ini"}).settings.serverName, "From File");

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

}  // namespace
}  // namespace karst
