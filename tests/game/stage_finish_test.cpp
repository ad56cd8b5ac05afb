// Stage finish and the fruit shop over loopback against a real server: places
// and rewards, the ring cap, the end of a run and the release of a started key
// (by finishing, leaving, disconnecting, or a countdown that ran out in an empty
// room), and purchases that survive a reconnect and a restart.
#include <fstream>
#include <iterator>

#include "game/room_test_support.h"
#include "store/profile_store.h"

namespace karst::testing {
namespace {

using client::decodeBuyFruitResult;
using client::decodeStageEnded;
using client::decodeStageFinishedResult;

client::StageFinishedResult expectFinishResult(KarstClient& player) {
    const auto frame = expectFrame(player, MessageType::StageFinishedResult);
    if (!frame) return {};
    return decodeStageFinishedResult(frame->payload).value_or(client::StageFinishedResult{});
}

void expectStageEnded(KarstClient& player, const RoomKey& room) {
    const auto frame = expectFrame(player, MessageType::StageEnded);
    ASSERT_TRUE(frame);
    const auto ended = decodeStageEnded(frame->payload);
    EXPECT_EQ(ended->room, room);
    EXPECT_EQ(ended->endCode, 5u);
}

client::BuyFruitResult buy(KarstClient& player, int8_t fruit) {
    player.buyFruit(fruit);
    const auto frame = expectFrame(player, MessageType::BuyFruitResult);
    if (!frame) return {};
    return decodeBuyFruitResult(frame->payload).value_or(client::BuyFruitResult{});
}

ProfileRecord storedProfile(const TestServer& server, uint32_t n) {
    std::ifstream in(server.settings().profileStorePath, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    const DecodedProfileStore store = decodeProfileStore(bytes);
    EXPECT_EQ(store.status, ProfileStoreStatus::Loaded);
    const auto it = store.table.find(profileKeyFor(n));
    EXPECT_NE(it, store.table.end());
    return it == store.table.end() ? ProfileRecord{} : it->second;
}

TEST(StageFinish, PlacesPayOneHundredSixtyThirtyTenAndLastEndsTheRun) {
    TestServer server;
    const RoomKey room = stageRoom(2, 5);
    KarstClient p1 = connectPlayer(server.port(), 1);
    KarstClient p2 = connectPlayer(server.port(), 2);
    KarstClient p3 = connectPlayer(server.port(), 3);
    KarstClient p4 = connectPlayer(server.port(), 4);
    enterRoom(p1, room);
    enterRoom(p2, room, {&p1});
    enterRoom(p3, room, {&p1, &p2});
    enterRoom(p4, room, {&p1, &p2, &p3});
    startRun({&p1, &p2, &p3, &p4});

    KarstClient* order[] = {&p3, &p1, &p4, &p2};
    const uint32_t rewards[] = {100, 60, 30, 10};
    for (size_t i = 0; i < 4; ++i) {
        order[i]->stageFinished(room, 0xABC0 + static_cast<uint32_t>(i));
        for (KarstClient* member : {&p1, &p2, &p3, &p4}) {
            const client::StageFinishedResult r = expectFinishResult(*member);
            EXPECT_EQ(r.playerId, order[i]->playerId());
            EXPECT_EQ(r.result, 0xABC0 + i);
            EXPECT_EQ(r.ringsAwarded, rewards[i]);
            EXPECT_EQ(r.rings, 1000 + rewards[i]);
            EXPECT_EQ(r.finishedCount, i + 1);
            EXPECT_EQ(r.memberCount, 4);
            EXPECT_EQ(r.place, i + 1);
        }
    }
    for (KarstClient* member : {&p1, &p2, &p3, &p4}) expectStageEnded(*member, room);
    EXPECT_EQ(storedProfile(server, 3).rings, 1100u);
    EXPECT_EQ(storedProfile(server, 2).rings, 1010u);

    // The key is free again.
    KarstClient late = connectPlayer(server.port(), 5);
    EXPECT_EQ(enterRoom(late, room).members, 5);
}

TEST(StageFinish, LoneFinisherWithoutRunIsPaidOnceUntilReentering) {
    TestServer server;
    KarstClient player = connectPlayer(server.port(), 1);
    const RoomKey room = stageRoom(9);
    enterRoom(player, room);

    player.stageFinished(stageRoom(9, 2), 1);  // not the player's room
    expectSilence(player);
    player.stageFinished(room, 1);
    const client::StageFinishedResult first = expectFinishResult(player);
    EXPECT_EQ(first.place, 1);
    EXPECT_EQ(first.rings, 1100u);
    expectStageEnded(player, room);
    player.stageFinished(room, 1);
    expectSilence(player);

    enterRoom(player, hubRoom());
    player.stageFinished(hubRoom(), 1);  // not a stage
    expectSilence(player);
    enterRoom(player, room);
    player.stageFinished(room, 1);
    EXPECT_EQ(expectFinishResult(player).rings, 1200u);
}

TEST(StageFinish, RewardStopsAtTheRingCap) {
    TempDir dir;
    ServerSettings settings = testSettings(dir.path());
    settings.startingRings = 9'999'950;
    TestServer server(settings);
    KarstClient player = connectPlayer(server.port(), 1);
    enterRoom(player, stageRoom(1));
    player.stageFinished(stageRoom(1), 0);
    const client::StageFinishedResult r = expectFinishResult(player);
    EXPECT_EQ(r.ringsAwarded, 100u);
    EXPECT_EQ(r.rings, 9'999'999u);
    EXPECT_EQ(storedProfile(server, 1).rings, 9'999'999u);
}

TEST(StartedRun, RefusesNewcomersUntilOneOfTwoUnfinishedLeavesAndOtherFinishes) {
    TestServer server;
    const RoomKey room = stageRoom(4, 3);
    KarstClient a = connectPlayer(server.port(), 1);
    KarstClient b = connectPlayer(server.port(), 2);
    KarstClient outsider = connectPlayer(server.port(), 3);
    enterRoom(a, room);
    enterRoom(b, room, {&a});
    startRun({&a, &b});
    outsider.joinRoom(room);
    EXPECT_EQ(expectNotice(outsider), 5);

    b.close();  // unfinished: the run goes on for a
    EXPECT_TRUE(a.receiveType(MessageType::RoomStatus).has_value());
    outsider.joinRoom(room);
    EXPECT_EQ(expectNotice(outsider), 5);

    a.stageFinished(room, 0);
    const client::StageFinishedResult r = expectFinishResult(a);
    EXPECT_EQ(r.place, 1);
    EXPECT_EQ(r.memberCount, 1);
    expectStageEnded(a, room);
    EXPECT_EQ(enterRoom(outsider, room).members, 2);
}

TEST(StartedRun, UnfinishedMemberDisconnectingEndsRunForFinishedOnes) {
    TestServer server;
    const RoomKey room = stageRoom(5, 3);
    KarstClient a = connectPlayer(server.port(), 1);
    KarstClient b = connectPlayer(server.port(), 2);
    enterRoom(a, room);
    enterRoom(b, room, {&a});
    startRun({&a, &b});
    a.stageFinished(room, 0);
    (void)expectFinishResult(a);

    const uint32_t leaverId = b.playerId();
    b.close();
    const auto left = expectFrame(a, MessageType::PlayerLeft);
    ASSERT_TRUE(left);
    EXPECT_EQ(client::decodePlayerLeft(left->payload), leaverId);
    EXPECT_EQ(expectRoomStatus(a).members, 1);
    expectStageEnded(a, room);
    KarstClient newcomer = connectPlayer(server.port(), 3);
    EXPECT_EQ(enterRoom(newcomer, room).members, 2);
}

TEST(StartedRun, LeavingThroughJoinRoomReleasesLikeADisconnect) {
    TestServer server;
    const RoomKey room = stageRoom(6, 3);
    KarstClient a = connectPlayer(server.port(), 1);
    KarstClient b = connectPlayer(server.port(), 2);
    KarstClient c = connectPlayer(server.port(), 3);
    enterRoom(a, room);
    enterRoom(b, room, {&a});
    startRun({&a, &b});
    a.stageFinished(room, 0);
    (void)expectFinishResult(a);
    (void)expectFinishResult(b);

    // The unfinished member walks away: the finished one is told the run ended.
    enterRoom(b, hubRoom());
    EXPECT_TRUE(expectFrame(a, MessageType::PlayerLeft).has_value());
    EXPECT_EQ(expectRoomStatus(a).members, 1);
    expectStageEnded(a, room);
    enterRoom(c, room, {&a});

    // A run whose members all walk away frees its key.
    const RoomKey second = stageRoom(7, 3);
    enterRoom(a, second);
    enterRoom(c, second, {&a});
    startRun({&a, &c});
    enterRoom(a, hubRoom(), {&b});
    EXPECT_TRUE(expectFrame(c, MessageType::PlayerLeft).has_value());
    (void)expectRoomStatus(c);
    expectSilence(c);  // c has not finished: no StageEnded
    enterRoom(c, hubRoom(), {&a, &b});
    EXPECT_EQ(enterRoom(b, second).members, 1);
}

TEST(StartedRun, CountdownEndingInEmptyRoomStartsNothing) {
    TestServer server;
    const RoomKey room = stageRoom(8, 3);
    KarstClient a = connectPlayer(server.port(), 1);
    enterRoom(a, room);
    a.setReady(1);
    EXPECT_TRUE(awaitCountdown(a, 3));
    enterRoom(a, hubRoom());
    advanceMonotonicClockForTesting(4 * kNsPerSecond);
    expectSilence(a);
    KarstClient b = connectPlayer(server.port(), 2);
    EXPECT_EQ(enterRoom(b, room).members, 1);
}

TEST(FruitShop, PurchasesPersistAcrossReconnectAndRestart) {
    TempDir dir;
    ServerSettings settings = testSettings(dir.path());
    settings.startingRings = 150;
    TestServer server(settings);
    {
        KarstClient player = connectPlayer(server.port(), 1);
        const client::BuyFruitResult first = buy(player, 11);
        EXPECT_EQ(first.fruit, 11);
        EXPECT_EQ(first.bought, 1);
        EXPECT_EQ(first.price, 100);
        EXPECT_EQ(first.rings, 50u);
        const client::BuyFruitResult second = buy(player, 11);
        EXPECT_EQ(second.bought, 0);
        EXPECT_EQ(second.price, 100);
        EXPECT_EQ(second.rings, 50u);
        EXPECT_EQ(storedProfile(server, 1).serverInventory[11], 1);
    }
    KarstClient again;
    for (int attempt = 0; attempt < 50; ++attempt) {  // the old connection may linger a pass
        again = KarstClient();
        ASSERT_TRUE(again.connect(server.port()));
        again.hello("P1", 0, {0, 0, 0}, profileKeyFor(1));
        if (const auto welcome = again.awaitWelcome(200)) {
            EXPECT_EQ(welcome->rings, 50u);
            break;
        }
    }
    enterRoom(again, hubRoom());
    EXPECT_EQ(buy(again, 24).rings, 40u);
    again.close();

    server.restart();
    KarstClient restarted = connectPlayer(server.port(), 1);
    EXPECT_EQ(buy(restarted, 4).rings, 15u);
    const ProfileRecord stored = storedProfile(server, 1);
    EXPECT_EQ(stored.rings, 15u);
    EXPECT_EQ(stored.serverInventory[11], 1);
    EXPECT_EQ(stored.serverInventory[24], 1);
    EXPECT_EQ(stored.serverInventory[4], 1);
}

TEST(FruitShop, NonFruitCodesAndStageRoomsCloseTheConnection) {
    TestServer server;
    uint32_t n = 1;
    for (int8_t code : {int8_t{7}, int8_t{30}, int8_t{-1}, int8_t{25}}) {
        KarstClient player = connectPlayer(server.port(), n++);
        player.buyFruit(code);
        EXPECT_TRUE(player.closedByPeer()) << "code " << int(code);
    }
    KarstClient racer = connectPlayer(server.port(), n++);
    enterRoom(racer, stageRoom(1));
    racer.buyFruit(11);
    EXPECT_TRUE(racer.closedByPeer());
}

}  // namespace
}  // namespace karst::testing
