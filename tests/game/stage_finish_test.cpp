// Stage finish and the fruit shop over loopback against a real server: places
// and rewards, the ring cap, the end of a run and the release of a started key,
// and purchases that survive a reconnect and a restart.
#include "support/players.h"

namespace karst::testing {
namespace {

client::StageFinishedResult awaitFinish(KarstClient& player) {
    return awaitMessage(player, MessageType::StageFinishedResult,
                        client::decodeStageFinishedResult);
}

void expectStageEnded(KarstClient& player, const RoomKey& room) {
    const client::StageEnded ended =
        awaitMessage(player, MessageType::StageEnded, client::decodeStageEnded);
    EXPECT_EQ(ended.room, room);
    EXPECT_EQ(ended.endCode, 5u);
}

client::BuyFruitResult buy(KarstClient& player, int8_t fruit) {
    player.buyFruit(fruit);
    return awaitMessage(player, MessageType::BuyFruitResult, client::decodeBuyFruitResult);
}

TEST(StageFinish, PlacesPayOneHundredSixtyThirtyTenUpToTheRingCap) {
    TestServer server([](ServerSettings& s) { s.startingRings = 9'999'950; });
    const RoomKey room{2, 0, 0, 5};
    std::vector<KarstClient> players = playersInRoom(server, 4, room);
    startRun({&players[0], &players[1], &players[2], &players[3]});

    const size_t order[] = {2, 0, 3, 1};
    const uint32_t rewards[] = {100, 60, 30, 10};
    players[2].stageFinished(RoomKey{2, 0, 0, 6}, 1);  // not the player's room: ignored
    for (size_t i = 0; i < 4; ++i) {
        players[order[i]].stageFinished(room, 0xABC0 + static_cast<uint32_t>(i));
        players[order[i]].stageFinished(room, 1);  // a second finish is ignored
        for (KarstClient& member : players) {
            const client::StageFinishedResult r = awaitFinish(member);
            EXPECT_EQ(r.playerId, players[order[i]].playerId());
            EXPECT_EQ(r.result, 0xABC0 + i);
            EXPECT_EQ(r.ringsAwarded, rewards[i]);
            EXPECT_EQ(r.rings, std::min(9'999'950 + rewards[i], 9'999'999u));
            EXPECT_EQ(r.finishedCount, i + 1);
            EXPECT_EQ(r.memberCount, 4);
            EXPECT_EQ(r.place, i + 1);
        }
    }
    for (KarstClient& member : players) expectStageEnded(member, room);
    EXPECT_EQ(storedProfile(server.settings(), 3).rings, 9'999'999u);
    EXPECT_EQ(storedProfile(server.settings(), 2).rings, 9'999'960u);
    KarstClient late = enterPlayer(server, 5);
    EXPECT_EQ(enterRoom(late, room).members, 5);  // the key is free again
}

// A member leaves by moving to a hub or by disconnecting; a disconnect is
// waited for through the `witness` still in the room.
void leaveRun(KarstClient& leaver, bool disconnects, KarstClient& witness) {
    if (!disconnects) {
        enterRoom(leaver, kHubRoom);
        return;
    }
    const uint32_t leaverId = leaver.playerId();
    leaver.close();
    EXPECT_EQ(awaitMessage(witness, MessageType::PlayerLeft, client::decodePlayerLeft), leaverId);
    EXPECT_EQ(awaitStatus(witness).members, 1);
}

// The first member finishes or walks away; while the second still runs nobody
// new gets in. Once it goes too, a finished member hears the run end, and a run
// that every member walked away from frees its key all the same.
TEST(StartedRun, RefusesNewcomersWhileAnUnfinishedMemberRemains) {
    TestServer server;
    struct Case {
        const char* what;
        bool firstFinishes, firstDisconnects, secondDisconnects;
    };
    const Case cases[] = {
        {"the unfinished one moves away", true, false, false},
        {"the unfinished one disconnects", true, false, true},
        {"one moves away, then the other", false, false, false},
        {"one disconnects, then the other moves away", false, true, false},
    };
    uint8_t n = 1;
    int16_t level = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const RoomKey room{level++, 0, 0, 3};
        KarstClient first = enterPlayer(server, n++, room);
        KarstClient second = enterPlayer(server, n++, room);
        KarstClient newcomer = enterPlayer(server, n++);
        startRun({&first, &second});
        if (c.firstFinishes) {
            first.stageFinished(room, 0);
            EXPECT_EQ(awaitFinish(first).memberCount, 2);
        } else {
            leaveRun(first, c.firstDisconnects, second);
        }
        newcomer.joinRoom(room);
        EXPECT_EQ(awaitNotice(newcomer), 5);
        leaveRun(second, c.secondDisconnects, first);
        if (c.firstFinishes) expectStageEnded(first, room);
        EXPECT_EQ(enterRoom(newcomer, room).members, c.firstFinishes ? 2 : 1);
    }
}

TEST(FruitShop, PurchasesPersistAcrossReconnectAndRestart) {
    TestServer server([](ServerSettings& s) { s.startingRings = 150; });
    KarstClient player = enterPlayer(server, 1);
    const client::BuyFruitResult first = buy(player, 11);
    EXPECT_EQ(first.fruit, 11);
    EXPECT_EQ(first.bought, 1);
    EXPECT_EQ(first.price, 100);
    EXPECT_EQ(first.rings, 50u);
    const client::BuyFruitResult second = buy(player, 11);
    EXPECT_EQ(second.bought, 0);
    EXPECT_EQ(second.price, 100);
    EXPECT_EQ(second.rings, 50u);
    player.close();

    player = reconnect(server.port(), 1);
    enterRoom(player, kHubRoom);
    EXPECT_EQ(buy(player, 24).rings, 40u);
    player.close();
    server.restart();
    player = enterPlayer(server, 1);
    EXPECT_EQ(buy(player, 4).rings, 15u);
    const StoredProfile stored = storedProfile(server.settings(), 1);
    EXPECT_EQ(stored.rings, 15u);
    for (size_t fruit : {11, 24, 4}) EXPECT_EQ(stored.fruit[fruit], 1) << fruit;
}

TEST(FruitShop, NonFruitCodesAndStageRoomsCloseTheConnection) {
    TestServer server;
    uint8_t n = 1;
    for (int8_t code : {int8_t{7}, int8_t{30}, int8_t{-1}, int8_t{25}}) {
        KarstClient player = enterPlayer(server, n++);
        player.buyFruit(code);
        EXPECT_TRUE(player.closedByPeer()) << "code " << int(code);
    }
    KarstClient racer = enterPlayer(server, n, RoomKey{1, 0, 0, 1});
    racer.buyFruit(11);
    EXPECT_TRUE(racer.closedByPeer());
}

}  // namespace
}  // namespace karst::testing
