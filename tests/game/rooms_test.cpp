// Rooms over loopback against a real server: the rules of JoinRoom and their
// order, what the old and new rooms hear on a move, SetCharacter inside and
// outside stages, ready flags and the start countdown on the server's clock.
#include "support/players.h"

namespace karst::testing {
namespace {

constexpr RoomKey stageRoom(int16_t level) { return RoomKey{level, 0, 0, 1}; }

TEST(Rooms, JoinRoomRulesApplyInOrderStartedCharacterCapacity) {
    FrozenClocks clocks;  // no countdown tick may pass for the move's RoomStatus
    TestServer server([](ServerSettings& s) { s.maxPlayersPerRoom = 1; });
    KarstClient runner = enterPlayer(server, 1, stageRoom(1));
    KarstClient sonic = enterPlayer(server, 2, stageRoom(2));
    KarstClient knuckles = enterPlayer(server, 3, kNoRoom, 3);
    KarstClient amy = enterPlayer(server, 4);
    startRun({&runner});

    knuckles.joinRoom(stageRoom(1));  // started, closed to character 3 and full
    EXPECT_EQ(awaitNotice(knuckles), 5);
    knuckles.joinRoom(stageRoom(2));  // closed to character 3 and full
    EXPECT_EQ(awaitNotice(knuckles), 3);
    amy.joinRoom(stageRoom(2));
    EXPECT_EQ(awaitNotice(amy), 1);

    // The room one is in passes every rule and changes nothing, not even ready.
    sonic.setReady(1);
    EXPECT_TRUE(awaitCountdown(sonic, 3));
    sonic.joinRoom(stageRoom(2));
    runner.joinRoom(stageRoom(1));
    EXPECT_TRUE(afterTimers(sonic).empty());
    EXPECT_TRUE(afterTimers(runner).empty());
    // Another room is a fresh start: the flag stays behind.
    EXPECT_EQ(enterRoom(sonic, stageRoom(4)).ready, 0);
}

TEST(Rooms, StagesAreOpenByCharacterHubsToAllAndKeysOutOfRangeClose) {
    TestServer server;
    enum Outcome { kOpen, kRefused, kClosed };
    struct Case {
        uint8_t character;
        RoomKey room;
        Outcome outcome;
    };
    const Case cases[] = {
        {0, {12, 0, 0, 1}, kRefused}, {0, {10, 0, 0, 1}, kOpen},   {3, {1, 0, 0, 1}, kRefused},
        {3, {12, 0, 0, 1}, kOpen},    {1, {1, 0, 0, 1}, kRefused}, {1, {9, 0, 0, 1}, kOpen},
        {5, {26, 0, 0, 1}, kOpen},    {5, {40, 0, 0, 1}, kOpen},   {0, {255, 7, 3, 1}, kOpen},
        {0, {256, 0, 0, 1}, kClosed}, {0, {-1, 0, 0, 1}, kClosed}, {0, {1, 8, 0, 1}, kClosed},
        {0, {1, -1, 0, 1}, kClosed},  {0, {1, 0, 4, 1}, kClosed}};
    uint8_t n = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE("character " + std::to_string(c.character) + " level " +
                     std::to_string(c.room.level) + " act " + std::to_string(c.room.act) +
                     " mission " + std::to_string(c.room.mission));
        KarstClient player = enterPlayer(server, n++, kNoRoom, c.character);
        player.joinRoom(c.room);
        if (c.outcome == kClosed) {
            EXPECT_TRUE(player.closedByPeer());
            continue;
        }
        const std::optional<Frame> frame = player.receive();
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(frame->type(), c.outcome == kOpen ? MessageType::RoomStatus : MessageType::Notice);
        if (c.outcome == kRefused) {
            EXPECT_EQ(client::decodeNotice(frame->payload)->code, 3);
        }
    }
}

TEST(Rooms, MoveTellsOldRoomWhoLeftAndNewRoomWhoCame) {
    TestServer server;
    const RoomKey roomB = RoomKey{4, 0, 0, 9};
    KarstClient stayer = enterPlayer(server, 1, kHubRoom);
    KarstClient mover = enterPlayer(server, 2, kHubRoom);
    KarstClient host = enterPlayer(server, 3, roomB);
    roundTrip(stayer);

    mover.joinRoom(roomB);
    const auto moverFrames = roundTrip(mover);
    ASSERT_EQ(moverFrames.size(), 2u);
    EXPECT_EQ(client::decodePlayerInfo(moverFrames[0].payload)->playerId, host.playerId());
    EXPECT_EQ(client::decodeRoomStatus(moverFrames[1].payload)->members, 2);

    const auto stayerFrames = roundTrip(stayer);
    ASSERT_EQ(stayerFrames.size(), 2u);
    EXPECT_EQ(client::decodePlayerLeft(stayerFrames[0].payload), mover.playerId());
    EXPECT_EQ(client::decodeRoomStatus(stayerFrames[1].payload)->members, 1);

    const auto hostFrames = roundTrip(host);
    ASSERT_EQ(hostFrames.size(), 2u);
    const auto info = client::decodePlayerInfo(hostFrames[0].payload);
    EXPECT_EQ(info->playerId, mover.playerId());
    EXPECT_EQ(info->name, "P2");
    EXPECT_EQ(info->room, roomB);
    EXPECT_EQ(client::decodeRoomStatus(hostFrames[1].payload)->members, 2);
}

TEST(Rooms, CharacterChangesOnlyInHubsButNameAndColourAnywhere) {
    TestServer server;
    KarstClient player = enterPlayer(server, 1, stageRoom(3));
    KarstClient watcher = enterPlayer(server, 2, stageRoom(3));
    roundTrip(player);

    player.setCharacter("Other", 5, {1, 1, 1});
    EXPECT_EQ(awaitNotice(player), 4);
    player.setCharacter("Renamed", 0, {7, 8, 9});  // the same character is fine in a stage
    EXPECT_TRUE(roundTrip(player).empty());        // no echo
    // Once the change is stored (at once with the files, after the commit with a database).
    const auto renamed = awaitMessage(watcher, MessageType::PlayerInfo, client::decodePlayerInfo);
    EXPECT_EQ(renamed.name, "Renamed");
    EXPECT_EQ(renamed.character, 0);
    EXPECT_EQ(renamed.colour, (client::Colour{7, 8, 9}));
    EXPECT_TRUE(framesOfType(roundTrip(watcher), MessageType::PlayerInfo).empty());

    // In a hub the character changes; a newcomer sees what was stored.
    enterRoom(player, kHubRoom, {&watcher});
    player.setCharacter("Knux", 6, {1, 2, 3});
    roundTrip(player);
    watcher.joinRoom(kHubRoom);
    const auto seen = decodeAll(untilRoomStatus(watcher), MessageType::PlayerInfo, client::decodePlayerInfo);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].name, "Knux");
    EXPECT_EQ(seen[0].character, 6);

    player.setCharacter("Bad", 7, {0, 0, 0});
    EXPECT_TRUE(player.closedByPeer());
}

TEST(StageCountdown, NeedsMinimumReadyThenAnnouncesThreeTwoOneZeroAndStarts) {
    FrozenClocks clocks;
    TestServer server([](ServerSettings& s) { s.minimumReady = 2; });
    const RoomKey room{7, 2, 3, 77};
    KarstClient first = enterPlayer(server, 1, room);
    first.setReady(2);  // any value but 0 says ready
    const client::RoomStatus alone = awaitStatus(first);
    EXPECT_EQ(alone.ready, 1);
    EXPECT_EQ(alone.countdown, 0);
    EXPECT_EQ(awaitStatus(first).countdown, 0);
    advanceMonotonicClockForTesting(4 * kNsPerSecond);
    EXPECT_TRUE(afterTimers(first).empty());  // one of the two needed

    KarstClient second = enterPlayer(server, 2, room);
    second.setReady(1);
    ASSERT_TRUE(awaitCountdown(first, 3));
    // Repeating ready mid-countdown shows one 0 and the countdown runs on.
    second.setReady(1);
    EXPECT_EQ(awaitStatus(first).countdown, 0);
    for (uint8_t expected : {2, 1}) {
        advanceMonotonicClockForTesting(kNsPerSecond);
        const client::RoomStatus status = awaitStatus(first);
        EXPECT_EQ(status.countdown, expected);
        EXPECT_EQ(status.mission, 3);
    }
    // The stage starts in the very pass that reaches three seconds, not a tick later.
    advanceMonotonicClockForTesting(kNsPerSecond - 1);
    EXPECT_TRUE(afterTimers(first).empty());
    advanceMonotonicClockForTesting(1);
    EXPECT_EQ(awaitStatus(first).countdown, 0);
    const std::optional<Frame> start = first.receive();
    ASSERT_TRUE(start.has_value());
    EXPECT_EQ(client::decodeStageStart(start->payload)->room, room);
    EXPECT_TRUE(second.receiveType(MessageType::StageStart).has_value());
    EXPECT_TRUE(afterTimers(first).empty());

    first.setReady(1);  // the start cleared every ready flag
    EXPECT_EQ(awaitStatus(first).ready, 1);
    first.setReady(0);
    const auto after = decodeAll(roundTrip(first), MessageType::RoomStatus, client::decodeRoomStatus);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.back().ready, 0);
}

TEST(StageCountdown, NewcomerCancelsItAndAnEmptyRoomStartsNothing) {
    TestServer server;
    KarstClient first = enterPlayer(server, 1, stageRoom(6));
    KarstClient second = enterPlayer(server, 2, stageRoom(6));
    first.setReady(1);
    second.setReady(1);
    ASSERT_TRUE(awaitCountdown(first, 3));
    KarstClient newcomer = enterPlayer(server, 3, stageRoom(6));
    roundTrip(first);
    advanceMonotonicClockForTesting(4 * kNsPerSecond);
    EXPECT_TRUE(afterTimers(first).empty());

    // A countdown that runs out after everyone left locks nobody out.
    KarstClient lone = enterPlayer(server, 4, stageRoom(8));
    lone.setReady(1);
    ASSERT_TRUE(awaitCountdown(lone, 3));
    enterRoom(lone, kHubRoom);
    advanceMonotonicClockForTesting(4 * kNsPerSecond);
    EXPECT_TRUE(afterTimers(lone).empty());
    EXPECT_EQ(enterRoom(newcomer, stageRoom(8)).members, 1);
}

}  // namespace
}  // namespace karst::testing
