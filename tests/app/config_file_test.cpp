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
        const std::string path = dir_.write("server.ini", contents);
        result.opened = loadConfigFile(path, result.settings, result.lines);
        lastPath_ = path;
        return result;
    }

    testing::TempDir dir_;
    std::string lastPath_;
};

bool sameSettings(const ServerSettings& a, const ServerSettings& b) {
    return a.bindAddress == b.bindAddress && a.port == b.port && a.maxClients == b.maxClients &&
           a.maxPlayersPerRoom == b.maxPlayersPerRoom && a.minimumReady == b.minimumReady &&
           a.proxyCount == b.proxyCount && a.startingRings == b.startingRings &&
           a.serverName == b.serverName && a.modList == b.modList && a.listed == b.listed &&
           a.masterHost == b.masterHost && a.masterPort == b.masterPort &&
           a.advertiseHost == b.advertiseHost && a.completedSavePath == b.completedSavePath &&
           a.piboStorePath == b.piboStorePath && a.profileStorePath == b.profileStorePath &&
           a.metricsPath == b.metricsPath && a.handshakeTimeoutSeconds == b.handshakeTimeoutSeconds;
}

TEST_F(ConfigFile, MissingFileOrDirectoryCannotBeOpenedAndPrintsNothing) {
    ServerSettings settings;
    std::vector<ConsoleLine> lines;
    EXPECT_FALSE(loadConfigFile((dir_.path() / "absent.ini").string(), settings, lines));
    EXPECT_FALSE(loadConfigFile(dir_.path().string(), settings, lines));
    EXPECT_TRUE(lines.empty());
    EXPECT_TRUE(sameSettings(settings, ServerSettings{}));
}

TEST_F(ConfigFile, OnlyCommentsBlanksAndUnknownSectionsKeepDefaults) {
    const Loaded r = load("; comment\n# another\n\n   \n[other]\nport = 1\nmaxclients = 3\n");
    EXPECT_TRUE(r.opened);
    EXPECT_TRUE(r.lines.empty());
    EXPECT_TRUE(sameSettings(r.settings, ServerSettings{}));
    EXPECT_TRUE(load("").opened);
}

TEST_F(ConfigFile, EveryKeySetsItsField) {
    const Loaded r = load(
        "[server]\nbind=127.0.0.1\nport=1000\nname=Cave\nmods=KARST,Extra\nmaxclients=5\n"
        "maxplayersperroom=6\nminimumready=2\nproxies=7\nstartingrings=42\nhandshaketimeout=30\n"
        "[files]\ncompletedsave=a.snc\npibostore=p.bin\nprofilestore=q.bin\nmetrics=m.json\n"
        "[master]\nlisted=no\nhost=master.example\nport=2000\nadvertisehost=me.example\n");
    const ServerSettings& s = r.settings;
    EXPECT_TRUE(r.lines.empty());
    EXPECT_EQ(s.bindAddress, "127.0.0.1");
    EXPECT_EQ(s.port, 1000);
    EXPECT_EQ(s.serverName, "Cave");
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

TEST_F(ConfigFile, SectionAndKeyNamesIgnoreCaseAndSpacesButValuesKeepCase) {
    const Loaded r = load("[ Server ]\nMaxClients = 64\nNAME\t=  My Server  \n");
    EXPECT_EQ(r.settings.maxClients, 64u);
    EXPECT_EQ(r.settings.serverName, "My Server");
}

TEST_F(ConfigFile, PortKeepsLow16BitsAndTrailingTextIsIgnored) {
    EXPECT_EQ(load("[server]\nport = 70000\n").settings.port, 4464);
    const Loaded r = load("[server]\nport = 12abc\n");
    EXPECT_EQ(r.settings.port, 12);
    EXPECT_TRUE(r.lines.empty());
}

TEST_F(ConfigFile, BadNumberWarnsWithLowerCasedNamesAndKeepsThePreviousValue) {
    const Loaded r =
        load("[server]\nport = 1234\nport = abc\nmaxclients = 4294967296\n[MASTER]\nPort = x\n");
    EXPECT_EQ(r.settings.port, 1234);
    EXPECT_EQ(r.settings.maxClients, 2048u);
    EXPECT_EQ(r.settings.masterPort, 27016);
    ASSERT_EQ(r.lines.size(), 3u);
    EXPECT_TRUE(r.lines[0].error);
    EXPECT_EQ(r.lines[0].text, "Warning: ignored invalid server.port in " + lastPath_);
    EXPECT_EQ(r.lines[1].text, "Warning: ignored invalid server.maxclients in " + lastPath_);
    EXPECT_EQ(r.lines[2].text, "Warning: ignored invalid master.port in " + lastPath_);
}

TEST_F(ConfigFile, StartingRingsAreCappedAfter64BitConversion) {
    EXPECT_EQ(load("[server]\nstartingrings = 99999999\n").settings.startingRings, 9'999'999u);
    EXPECT_EQ(load("[server]\nstartingrings = 18446744073709551615\n").settings.startingRings,
              9'999'999u);
    const Loaded r = load("[server]\nstartingrings = 18446744073709551616\n");
    EXPECT_EQ(r.settings.startingRings, 1000u);
    EXPECT_EQ(r.lines.size(), 1u);
}

TEST_F(ConfigFile, ListedTakesKnownWordsAndSilentlyIgnoresOthers) {
    EXPECT_FALSE(load("[master]\nlisted = Off\n").settings.listed);
    ServerSettings unlisted;
    unlisted.listed = false;
    EXPECT_TRUE(load("[master]\nlisted = YES\n", unlisted).settings.listed);
    const Loaded r = load("[master]\nlisted = maybe\n", unlisted);
    EXPECT_FALSE(r.settings.listed);
    EXPECT_TRUE(r.lines.empty());
}

TEST_F(ConfigFile, TextValuesTakeEverythingAfterTheFirstEquals) {
    const Loaded r = load("[server]\nname = My Server ; test\nmods = a=b=c\n");
    EXPECT_EQ(r.settings.serverName, "My Server ; test");
    EXPECT_EQ(r.settings.modList, "a=b=c");
    EXPECT_EQ(load("[server]\nname =\n").settings.serverName, "");
}

TEST_F(ConfigFile, KeysCountOnlyInTheirOwnSection) {
    const Loaded r = load("port = 1\nmaxclients = 2\n[files]\nport = 3\n[]\nname = x\n");
    EXPECT_TRUE(sameSettings(r.settings, ServerSettings{}));
    EXPECT_TRUE(r.lines.empty());
}

TEST_F(ConfigFile, UnclosedBracketIsNoHeader) {
    const Loaded r = load("[master]\n[server\nport = 5\n[server = 9\n");
    EXPECT_EQ(r.settings.masterPort, 5);
    EXPECT_EQ(r.settings.port, 27015);
}

TEST_F(ConfigFile, BytesBeforeTheBracketMakeNoHeader) {
    const Loaded r = load("\xEF\xBB\xBF[server]\nport = 5\n");
    EXPECT_EQ(r.settings.port, 27015);
}

TEST_F(ConfigFile, CarriageReturnsAndOtherWhiteSpaceAreTrimmed) {
    const Loaded r = load("[server]\r\n\v name = Cave\f\r\n\tport=7\r\n[master]\r\nhost=h");
    EXPECT_EQ(r.settings.serverName, "Cave");
    EXPECT_EQ(r.settings.port, 7);
    EXPECT_EQ(r.settings.masterHost, "h");  // last line has no line feed
}

TEST_F(ConfigFile, LaterLinesAndRepeatedSectionsOverride) {
    const Loaded r = load("[server]\nport=1\n[master]\nport=2\n[server]\nport=3\n");
    EXPECT_EQ(r.settings.port, 3);
    EXPECT_EQ(r.settings.masterPort, 2);
}

TEST_F(ConfigFile, HandshakeTimeoutIsAnOrdinaryNumberInServer) {
    EXPECT_EQ(load("[server]\nhandshaketimeout = 0\n").settings.handshakeTimeoutSeconds, 0u);
    EXPECT_EQ(load("[master]\nhandshaketimeout = 5\n").settings.handshakeTimeoutSeconds, 10u);
    const Loaded r = load("[server]\nHandshakeTimeout = soon\n");
    EXPECT_EQ(r.settings.handshakeTimeoutSeconds, 10u);
    ASSERT_EQ(r.lines.size(), 1u);
    EXPECT_EQ(r.lines[0].text, "Warning: ignored invalid server.handshaketimeout in " + lastPath_);
}

}  // namespace
}  // namespace karst
