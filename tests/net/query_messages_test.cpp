// The server query's datagrams: which requests are taken, and the exact bytes
// of the challenge, INFO and PLAYER replies, with the player list's cut at
// 1,400 bytes.
#include "net/query_messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace karst {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

const Bytes kInfoRequest = bytesOf(std::string_view("\xFF\xFF\xFF\xFFTSource Engine Query\0", 25));

TEST(QueryRequests, ExactLayoutsAreTakenAndEverythingElseIsNot) {
    const auto first = decodeQueryRequest(kInfoRequest);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->kind, QueryKind::Info);
    EXPECT_FALSE(first->challenge.has_value());

    Bytes withChallenge = kInfoRequest;
    withChallenge.insert(withChallenge.end(), {0x78, 0x56, 0x34, 0x12});
    const auto second = decodeQueryRequest(withChallenge);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->challenge, 0x12345678u);

    const auto players = decodeQueryRequest(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 'U', 0xFF, 0xFF, 0xFF, 0xFF});
    ASSERT_TRUE(players.has_value());
    EXPECT_EQ(players->kind, QueryKind::Player);
    EXPECT_EQ(players->challenge, kQueryChallengeRequest);

    Bytes oneMore = withChallenge;
    oneMore.push_back(0);
    Bytes wrongText = kInfoRequest;
    wrongText[10] = 'x';
    Bytes noZero(kInfoRequest.begin(), kInfoRequest.end() - 1);
    const Bytes refused[] = {
        {},
        {0xFF, 0xFF, 0xFF, 0xFF},
        {0xFE, 0xFF, 0xFF, 0xFF, 'U', 0xFF, 0xFF, 0xFF, 0xFF},
        {0xFF, 0xFF, 0xFF, 0xFF, 'U', 0xFF, 0xFF, 0xFF},
        {0xFF, 0xFF, 0xFF, 0xFF, 'U', 0xFF, 0xFF, 0xFF, 0xFF, 0},
        {0xFF, 0xFF, 0xFF, 0xFF, 'V', 0xFF, 0xFF, 0xFF, 0xFF},
        {0xFF, 0xFF, 0xFF, 0xFF, 'W'},
        oneMore, wrongText, noZero,
        Bytes(kInfoRequest.begin(), kInfoRequest.end() - 3),
    };
    for (const Bytes& datagram : refused) EXPECT_FALSE(decodeQueryRequest(datagram).has_value()) << datagram.size();
}

TEST(QueryReplies, ChallengeIsNineBytes) {
    const auto reply = encodeQueryChallenge(0xA1B2C3D4);
    EXPECT_EQ(Bytes(reply.begin(), reply.end()), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 'A', 0xD4, 0xC3, 0xB2, 0xA1}));
}

TEST(QueryReplies, InfoBytesWithCountsClampedTo255AndTextsCutAtZero) {
    QueryInfo info;
    info.protocol = 7;
    info.name = std::string_view("My\0hidden", 9);
    info.map = "level26";
    info.folder = "karst";
    info.game = "KARST";
    info.players = 300;
    info.maxPlayers = 2048;
    info.bots = 6;
    info.environment = 'w';
    info.version = "0.1.0";
    info.gamePort = 27015;
    Bytes expected = {0xFF, 0xFF, 0xFF, 0xFF, 'I', 7};
    for (std::string_view text : {"My", "level26", "karst", "KARST"}) {
        expected.insert(expected.end(), text.begin(), text.end());
        expected.push_back(0);
    }
    expected.insert(expected.end(), {0, 0, 255, 255, 6, 'd', 'w', 0, 0, '0', '.', '1', '.', '0', 0, 0x80, 0x87, 0x69});
    EXPECT_EQ(encodeQueryInfo(info), expected);
}

TEST(QueryReplies, PlayerListStopsAtTheLastEntryThatFits1400Bytes) {
    // 34 bytes an entry with a 24-byte name: 6 + 41 * 34 = 1400 exactly.
    const std::string longName(24, 'n');
    std::vector<QueryPlayer> players(50, QueryPlayer{longName, 1, 1.0f});
    const Bytes full = encodeQueryPlayers(players);
    EXPECT_EQ(full.size(), 1400u);
    EXPECT_EQ(full[5], 41);
    // One byte more in the 41st name and that entry no longer fits.
    const std::string longer(25, 'n');
    players[40].name = longer;
    const Bytes cut = encodeQueryPlayers(players);
    EXPECT_EQ(cut.size(), 1400u - 34u);
    EXPECT_EQ(cut[5], 40);

    // Empty names: the bytes run out before the count byte would.
    const Bytes counted = encodeQueryPlayers(std::vector<QueryPlayer>(300, QueryPlayer{"", 0, 0.0f}));
    EXPECT_EQ(counted[5], 139);
    EXPECT_EQ(counted.size(), 6u + 139u * 10u);
    EXPECT_EQ(encodeQueryPlayers({}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 'D', 0}));
}

TEST(QueryReplies, MapIsTheBusiestLevelWithTheLowestNumberOnATie) {
    std::vector<uint32_t> levels(256, 0);
    EXPECT_EQ(mapNameForLevels(levels), "none");
    levels[0] = 1;
    EXPECT_EQ(mapNameForLevels(levels), "level0");
    levels[26] = 3;
    levels[40] = 3;
    EXPECT_EQ(mapNameForLevels(levels), "level26");
    levels[255] = 4;
    EXPECT_EQ(mapNameForLevels(levels), "level255");
}

}  // namespace
}  // namespace karst
