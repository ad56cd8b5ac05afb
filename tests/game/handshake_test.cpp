// Hello through real sockets: refusals, name cleaning, what a new player
// receives and in which order, and identities that come back.
#include <gtest/gtest.h>

#include <fstream>

#include "client/messages.h"
#include "store/completed_save.h"
#include "support/players.h"
#include "support/test_server.h"

namespace karst::testing {
namespace {

using client::KarstClient;

TEST(Handshake, AllZeroKeyOrSecondHelloCloses) {
    TestServer server;
    KarstClient zero;
    ASSERT_TRUE(zero.connect(server.port()));
    ASSERT_TRUE(zero.hello("zero", 0, client::Colour{}, ProfileKey{}));
    EXPECT_TRUE(zero.closedByPeer());

    KarstClient twice = welcomedClient(server.port(), "twice", 1);
    ASSERT_TRUE(twice.hello("twice", 0, client::Colour{}, profileKeyFor(2)));
    EXPECT_TRUE(twice.closedByPeer());
}

TEST(Handshake, AnIdentityInUseIsRefusedUntilItsHolderLeaves) {
    TestServer server;
    KarstClient first = welcomedClient(server.port(), "first", 1);
    KarstClient copy;
    ASSERT_TRUE(copy.connect(server.port()));
    ASSERT_TRUE(copy.hello("copy", 0, client::Colour{}, profileKeyFor(1)));
    EXPECT_TRUE(copy.closedByPeer());
    ASSERT_TRUE(first.ping({1, 1, 1, 1}));  // the earlier connection stays
    EXPECT_TRUE(first.receiveType(MessageType::Pong).has_value());
    first.close();
    KarstClient again;
    ASSERT_TRUE(again.connect(server.port()));
    ASSERT_TRUE(again.hello("again", 0, client::Colour{}, profileKeyFor(1)));
    EXPECT_TRUE(again.awaitWelcome().has_value());
}

TEST(Handshake, WelcomeCarriesIdCountRingsAndAToken) {
    TempDir dir;
    ServerSettings settings = testSettings(dir.path());
    settings.proxyCount = 0;
    settings.startingRings = 123;
    TestServer server(settings);
    KarstClient silent;
    ASSERT_TRUE(silent.connect(server.port()));
    KarstClient c;
    ASSERT_TRUE(c.connect(server.port()));
    ASSERT_TRUE(c.hello("w", 0, client::Colour{}, profileKeyFor(1)));
    const auto welcome = c.awaitWelcome();
    ASSERT_TRUE(welcome.has_value());
    EXPECT_EQ(welcome->playerId, 2u);         // no proxies: ids start at 1
    EXPECT_EQ(welcome->connectionCount, 2u);  // the silent connection counts
    EXPECT_EQ(welcome->rings, 123u);
    EXPECT_NE(welcome->udpToken, 0u);
}

TEST(Handshake, NamesAreCleanedAsOthersSeeThem) {
    TestServer server;
    KarstClient watcher = welcomedClient(server.port(), "watcher", 1);
    KarstClient odd = welcomedClient(server.port(), std::string("a\tb\x7F") + "c", 2, 9);
    KarstClient empty = welcomedClient(server.port(), "", 3);
    const RoomKey hub{0, 0, 0, 5};
    ASSERT_TRUE(watcher.joinRoom(hub));
    watcher.drain(100);
    ASSERT_TRUE(odd.joinRoom(hub));
    auto info = watcher.receiveType(MessageType::PlayerInfo);
    ASSERT_TRUE(info.has_value());
    auto decoded = client::decodePlayerInfo(info->payload);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->name, "a_b_c");
    EXPECT_EQ(decoded->character, 0);  // 9 is no character
    EXPECT_EQ(decoded->colour, (client::Colour{1, 2, 3}));
    ASSERT_TRUE(empty.joinRoom(hub));
    info = watcher.receiveType(MessageType::PlayerInfo);
    ASSERT_TRUE(info.has_value());
    decoded = client::decodePlayerInfo(info->payload);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->name, "Player");
}

TEST(Handshake, CompletedSaveFollowsWelcome) {
    TempDir dir;
    ServerSettings settings = testSettings(dir.path());
    std::filesystem::create_directories(dir.path() / "SAVEDATA");
    std::vector<uint8_t> save(kCompletedSaveFileSize);
    for (size_t i = 0; i < save.size(); ++i) save[i] = static_cast<uint8_t>(i * 7);
    std::ofstream(settings.completedSavePath, std::ios::binary)
        .write(reinterpret_cast<const char*>(save.data()), static_cast<std::streamsize>(save.size()));
    TestServer server(settings);
    KarstClient c;
    ASSERT_TRUE(c.connect(server.port()));
    ASSERT_TRUE(c.hello("saver", 0, client::Colour{}, profileKeyFor(1)));
    const auto first = c.receive();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->type(), MessageType::Welcome);
    const auto second = c.receive();
    ASSERT_TRUE(second.has_value());
    ASSERT_EQ(second->type(), MessageType::CompletedSave);
    const auto decoded = client::decodeCompletedSave(second->payload);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->hash, fnv1a32(save));
    EXPECT_TRUE(std::equal(save.begin(), save.end(), decoded->data.begin()));
}

TEST(Handshake, ANewIdentityIsSavedBeforeWelcomeAndKeepsItsRingsAcrossRestarts) {
    TempDir dir;
    ServerSettings settings = testSettings(dir.path());
    settings.startingRings = 777;
    TestServer server(settings);
    welcomedClient(server.port(), "saved", 1);
    EXPECT_TRUE(std::filesystem::exists(settings.profileStorePath));
    server.restart();
    KarstClient back;
    ASSERT_TRUE(back.connect(server.port()));
    ASSERT_TRUE(back.hello("saved", 0, client::Colour{}, profileKeyFor(1)));
    const auto welcome = back.awaitWelcome();
    ASSERT_TRUE(welcome.has_value());
    EXPECT_EQ(welcome->rings, 777u);
}

TEST(Handshake, AReturningIdentityGetsItsStoredRingsWhateverTheStartingRings) {
    TempDir dir;
    ServerSettings settings = testSettings(dir.path());
    ProfileRecord stored{};
    stored.profileKey = profileKeyFor(1);
    stored.rings = 500;
    ProfileTable table;
    table[stored.profileKey] = stored;
    std::filesystem::create_directories(dir.path() / "SAVEDATA");
    const std::vector<uint8_t> bytes = encodeProfileStore(table);
    std::ofstream(settings.profileStorePath, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    TestServer server(settings);
    KarstClient c;
    ASSERT_TRUE(c.connect(server.port()));
    ASSERT_TRUE(c.hello("back", 0, client::Colour{}, profileKeyFor(1)));
    const auto welcome = c.awaitWelcome();
    ASSERT_TRUE(welcome.has_value());
    EXPECT_EQ(welcome->rings, 500u);
}

}  // namespace
}  // namespace karst::testing
