// The configuration file reader: names, comments, headers, conversions and
// warnings, each driven through a real file in a scratch directory.
#include "app/settings.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace karst {
namespace {

struct Loaded {
    bool opened = false;
    ServerSettings settings;
    std::vector<ConsoleLine> lines;
};

class ConfigFile : public ::testing::Test {
protected:
    Loaded load(std::string_view contents, ServerSettings start = {}) {
        Loaded result;
        result.settings = std::move(start);
        path_ = dir_.write("server.ini", contents);
        result.opened = loadConfigFile(path_, result.settings, result.lines);
        return result;
    }

    testing::TempDir dir_;
    std::string path_;
};

TEST_F(ConfigFile, EveryKeySetsItsFieldWhateverTheCaseOfNamesAndTheLineEnds) {
    const Loaded r = load(
        "[ Server ]\nbind=127.0.0.1\nPORT=1000\nNAME\t=  My Cave  \nmods=KARST,Extra\n"
        "MaxClients=5\nmaxplayersperroom=6\nminimumready=2\nproxies=7\nstartingrings=42\n"
        "HandshakeTimeout=30\n[FILES]\ncompletedsave=a.snc\npibostore=p.bin\nprofilestore=q.bin\n"
        "metrics=m.json\r\n[master]\r\nlisted=no\r\n\v host = master.example\f\r\nport=2000\r\n"
        "advertisehost=me.example");  // carriage returns, other white space, no final line feed
    const ServerSettings& s = r.settings;
    EXPECT_TRUE(r.opened);
    EXPECT_TRUE(r.lines.empty());
    EXPECT_EQ(s.bindAddress, "127.0.0.1");
    EXPECT_EQ(s.port, 1000);
    EXPECT_EQ(s.serverName, "My Cave");
    EXPECT_EQ(s.modList, "KARST,Extra");
    EXPECT_EQ(s.maxClients, 5u);
    EXPECT_EQ(s.maxPlayersPerRoom, 6u);
    EXPECT_EQ(s.minimumReady, 2u);
    EXPECT_EQ(s.proxyCount, 7u);
    EXPECT_EQ(s.startingRings, 42u);
    EXPECT_EQ(s.handshakeTimeoutSeconds, 30u);
    EXPECT_EQ(s.completedSavePath, "a.snc");
    EXPECT_EQ(s.piboStorePath, "p.bin");
    EXPECT_EQ(s.profileStorePath, "q.bin");
    EXPECT_EQ(s.metricsPath, "m.json");
    EXPECT_FALSE(s.listed);
    EXPECT_EQ(s.masterHost, "master.example");
    EXPECT_EQ(s.masterPort, 2000);
    EXPECT_EQ(s.advertiseHost, "me.example");
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

TEST_F(ConfigFile, NumbersConvertAndBadOnesWarnAndKeepThePreviousValue) {
    EXPECT_EQ(load("[server]\nport = 70000\n").settings.port, 4464);
    const Loaded trailing = load("[server]\nport = 12abc\n");
    EXPECT_EQ(trailing.settings.port, 12);
    EXPECT_TRUE(trailing.lines.empty());
    EXPECT_EQ(load("[server]\nstartingrings = 99999999\n").settings.startingRings, 9'999'999u);
    EXPECT_EQ(load("[server]\nstartingrings = 18446744073709551615\n").settings.startingRings,
              9'999'999u);

    const Loaded r = load(
        "[server]\nport = 1234\nport = abc\nmaxclients = 4294967296\n"
        "startingrings = 18446744073709551616\nHandshakeTimeout = soon\n[MASTER]\nPort = x\n");
    EXPECT_EQ(r.settings.port, 1234);
    EXPECT_EQ(r.settings.maxClients, 2048u);
    EXPECT_EQ(r.settings.startingRings, 1000u);
    EXPECT_EQ(r.settings.handshakeTimeoutSeconds, 10u);
    EXPECT_EQ(r.settings.masterPort, 27016);
    ASSERT_EQ(r.lines.size(), 5u);
    const char* names[] = {"server.port", "server.maxclients", "server.startingrings",
                           "server.handshaketimeout", "master.port"};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_TRUE(r.lines[i].error);
        EXPECT_EQ(r.lines[i].text, std::string("Warning: ignored invalid ") + names[i] + " in " +
                                       path_);
    }
}

TEST_F(ConfigFile, ListedTakesKnownWordsAndSilentlyIgnoresOthers) {
    // Listed by default, so each "yes" word must undo an earlier "no".
    for (const std::string word : {"1", "TRUE", "yes", "On"})
        EXPECT_TRUE(load("[master]\nlisted = off\nlisted = " + word).settings.listed) << word;
    for (const std::string word : {"0", "False", "NO", "off"})
        EXPECT_FALSE(load("[master]\nlisted = " + word).settings.listed) << word;
    ServerSettings unlisted;
    unlisted.listed = false;
    const Loaded r = load("[master]\nlisted = maybe\n", unlisted);
    EXPECT_FALSE(r.settings.listed);
    EXPECT_TRUE(r.lines.empty());
}

TEST_F(ConfigFile, TextValuesTakeEverythingAfterTheFirstEqualsEvenNothing) {
    const Loaded r = load("[server]\nname = My Server ; test\nmods = a=b=c\n");
    EXPECT_EQ(r.settings.serverName, "My Server ; test");
    EXPECT_EQ(r.settings.modList, "a=b=c");
    EXPECT_EQ(load("[server]\nname =\n").settings.serverName, "");
}

}  // namespace
}  // namespace karst
