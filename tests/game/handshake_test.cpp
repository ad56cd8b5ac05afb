// Hello through real sockets: refusals, name cleaning, what a new player
// receives and in which order, and identities that come back.
#include "store/completed_save.h"
#include "support/players.h"

namespace karst::testing {
namespace {

uint32_t ringsInWelcome(const TestServer& server, uint8_t n) {
    return helloWith(server.port(), profileKeyFor(n)).awaitWelcome().value_or(client::Welcome{}).rings;
}

TEST(Handshake, RefusesZeroKeySecondHelloAndAnIdentityInUseUntilItsHolderLeaves) {
    TestServer server;
    EXPECT_TRUE(helloWith(server.port(), ProfileKey{}).closedByPeer());

    KarstClient twice = welcomedClient(server.port(), "twice", 1);
    ASSERT_TRUE(twice.hello("twice", 0, client::Colour{}, profileKeyFor(2)));
    EXPECT_TRUE(twice.closedByPeer());

    KarstClient holder = welcomedClient(server.port(), "holder", 3);
    EXPECT_TRUE(helloWith(server.port(), profileKeyFor(3)).closedByPeer());
    KarstClient bystander = welcomedClient(server.port(), "bystander", 4);
    roundTrip(holder);  // the earlier connection stays
    holder.close();
    // Back with a fresh id: none is ever reused, not even one a disconnect freed.
    EXPECT_GT(reconnect(server.port(), 3).playerId(), bystander.playerId());
}

TEST(Handshake, WelcomeCarriesIdCountRingsAndTokenThenTheCompletedSave) {
    std::vector<uint8_t> save(kCompletedSaveFileSize);
    for (size_t i = 0; i < save.size(); ++i) save[i] = static_cast<uint8_t>(i * 7);
    TestServer server([&](ServerSettings& s) {
        s.proxyCount = 0;
        s.startingRings = 123;
        writeBytes(s.completedSavePath, save);
    });

    KarstClient silent;
    ASSERT_TRUE(silent.connect(server.port()));
    KarstClient c = helloWith(server.port(), profileKeyFor(1));
    const std::vector<Frame> frames = roundTrip(c);
    ASSERT_EQ(frames.size(), 2u);
    const auto welcome = client::decodeWelcome(frames[0].payload);
    ASSERT_TRUE(welcome.has_value());
    EXPECT_EQ(welcome->playerId, 2u);         // no proxies: ids start at 1
    EXPECT_EQ(welcome->connectionCount, 2u);  // the silent connection counts
    EXPECT_EQ(welcome->rings, 123u);
    EXPECT_NE(welcome->udpToken, 0u);
    const auto sent = client::decodeCompletedSave(frames[1].payload);
    ASSERT_TRUE(sent.has_value());
    EXPECT_EQ(sent->hash, fnv1a32(save));
    EXPECT_TRUE(std::equal(save.begin(), save.end(), sent->data.begin()));
}

TEST(Handshake, NamesAreCleanedAsOthersSeeThem) {
    TestServer server;
    KarstClient watcher = enterPlayer(server, 1, kHubRoom);
    struct Case {
        std::string sent, seen;
        uint8_t character, shown;
    };
    const Case cases[] = {{"a\tb\x7F" "c ~", "a_b_c ~", 7, 0}, {"", "Player", 6, 6}};  // 7 is none
    uint8_t n = 2;
    for (const Case& c : cases) {
        KarstClient player = welcomedClient(server.port(), c.sent, n++, c.character);
        player.joinRoom(kHubRoom);
        const auto info = awaitMessage(watcher, MessageType::PlayerInfo, client::decodePlayerInfo);
        EXPECT_EQ(info.name, c.seen);
        EXPECT_EQ(info.character, c.shown);
        EXPECT_EQ(info.colour, (client::Colour{1, 2, 3}));
    }
}

TEST(Handshake, RingsComeFromTheStoredProfileOrAreSavedBeforeWelcome) {
    TestServer server([](ServerSettings& s) {
        s.startingRings = 777;
        writeProfileStore(s, {StoredProfile{.key = profileKeyFor(1), .rings = 500}});
    });
    EXPECT_EQ(ringsInWelcome(server, 1), 500u);
    EXPECT_EQ(ringsInWelcome(server, 2), 777u);
    EXPECT_EQ(storedProfile(server.settings(), 2).rings, 777u);
    server.restart();
    EXPECT_EQ(ringsInWelcome(server, 2), 777u);
}

}  // namespace
}  // namespace karst::testing
