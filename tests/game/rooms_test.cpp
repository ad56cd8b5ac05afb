// Rooms over loopback against a real server: the rules of JoinRoom and their
// order, what the old and new rooms hear on a move, SetCharacter inside and
// outside stages, ready flags and the start countdown on the server's clock.
#include "game/room_test_support.h"

namespace karst::testing {
namespace {

using client::decodePlayerInfo;
using client::decodePlayerLeft;
using client::decodeStageStart;

TEST(Rooms, JoinRoomRulesApplyInOrderStartedCharacterCapacity) {
    TempDir dir;
    ServerSettings settings = testSettings(dir.path());
    settings.maxPlayersPerRoom = 1;
    TestServer server(settings);
    KarstClient runner = connectPlayer(server.port(), 1, 0);
    KarstClient sonic = connectPlayer(server.port(), 2, 0);
    KarstClient knuckles = connectPlayer(server.port(), 3, 3);
    enterRoom(runner, stageRoom(1));
    startRun({&runner});
    enterRoom(sonic, stageRoom(2));

    // Started, not open to character 3 and full: the run is named first.
    knuckles.joinRoom(stageRoom(1));
    EXPECT_EQ(expectNotice(knuckles), 5);
    // Not open to character 3 and full: the character is named first.
    knuckles.joinRoom(stageRoom(2));
    EXPECT_EQ(expectNotice(knuckles), 3);
    KarstClient amy = connectPlayer(server.port(), 4, 0);
    amy.joinRoom(stageRoom(2));
    EXPECT_EQ(expectNotice(amy), 1);

    // The room one is in passes every rule and changes nothing, not even ready.
    sonic.setReady(1);
    EXPECT_EQ(expectRoomStatus(sonic).ready, 1);
    (void)expectRoomStatus(sonic);  // the countdown's 3 for a room of one
    sonic.joinRoom(stageRoom(2));
    runner.joinRoom(stageRoom(1));
    expectSilence(sonic);
    expectSilence(runner);
}

TEST(Rooms, StageAccessFollowsTheCharacter) {
    TestServer server;
    struct Case {
        uint8_t character;
        int16_t level;
        bool open;
    };
    const Case cases[] = {{0, 12, false}, {0, 10, true}, {3, 1, false}, {3, 12, true},
                          {1, 1, false},  {1, 9, true},  {5, 0, true},  {5, 11, true},
                          {5, 26, true},  {5, 40, true}, {2, 3, false}, {4, 5, true}};
    uint32_t n = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE("character " + std::to_string(c.character) + " level " +
                     std::to_string(c.level));
        KarstClient player = connectPlayer(server.port(), n++, c.character);
        player.joinRoom(RoomKey{c.level, 0, 0, n});
        const std::optional<Frame> frame = player.receive();
        ASSERT_TRUE(frame.has_value());
        if (c.open) {
            EXPECT_NE(frame->type(), MessageType::Notice);
        } else {
            ASSERT_EQ(frame->type(), MessageType::Notice);
            EXPECT_EQ(client::decodeNotice(frame->payload)->code, 3);
        }
    }
}

TEST(Rooms, MoveTellsOldRoomLeftAndNewRoomInfoWithCounts) {
    TestServer server;
    KarstClient stayer = connectPlayer(server.port(), 1);
    KarstClient host = connectPlayer(server.port(), 2);
    KarstClient mover = connectPlayer(server.port(), 3, 0, "Mover");
    const RoomKey roomA = hubRoom(1);
    const RoomKey roomB = stageRoom(4, 9);
    enterRoom(stayer, roomA);
    enterRoom(mover, roomA, {&stayer});
    enterRoom(host, roomB);

    mover.joinRoom(roomB);
    const auto left = expectFrame(stayer, MessageType::PlayerLeft);
    ASSERT_TRUE(left);
    EXPECT_EQ(decodePlayerLeft(left->payload), mover.playerId());
    EXPECT_EQ(expectRoomStatus(stayer).members, 1);

    const auto newcomer = expectFrame(host, MessageType::PlayerInfo);
    ASSERT_TRUE(newcomer);
    const auto info = decodePlayerInfo(newcomer->payload);
    EXPECT_EQ(info->playerId, mover.playerId());
    EXPECT_EQ(info->name, "Mover");
    EXPECT_EQ(info->room, roomB);
    const client::RoomStatus hostStatus = expectRoomStatus(host);
    EXPECT_EQ(hostStatus.members, 2);
    EXPECT_EQ(hostStatus.countdown, 0);

    const auto existing = expectFrame(mover, MessageType::PlayerInfo);
    ASSERT_TRUE(existing);
    EXPECT_EQ(decodePlayerInfo(existing->payload)->playerId, host.playerId());
    EXPECT_EQ(expectRoomStatus(mover).members, 2);
    expectSilence(stayer);
}

TEST(Rooms, JoinRoomOutsideTheKeyRangesClosesTheConnection) {
    TestServer server;
    const RoomKey bad[] = {{256, 0, 0, 1}, {-1, 0, 0, 1}, {1, 8, 0, 1}, {1, -1, 0, 1}, {1, 0, 4, 1}};
    uint32_t n = 1;
    for (const RoomKey& key : bad) {
        KarstClient player = connectPlayer(server.port(), n++);
        player.joinRoom(key);
        EXPECT_TRUE(player.closedByPeer()) << "level " << key.level << " act " << int(key.act)
                                           << " mission " << int(key.mission);
    }
}

TEST(Rooms, SetCharacterInStageKeepsCharacterButRelaysNameAndColour) {
    TestServer server;
    KarstClient player = connectPlayer(server.port(), 1, 0, "Original");
    KarstClient watcher = connectPlayer(server.port(), 2);
    enterRoom(player, stageRoom(3));
    enterRoom(watcher, stageRoom(3), {&player});

    player.setCharacter("Other", 5, {1, 1, 1});
    EXPECT_EQ(expectNotice(player), 4);
    expectSilence(watcher);

    player.setCharacter("Renamed", 0, {7, 8, 9});
    const auto relayed = expectFrame(watcher, MessageType::PlayerInfo);
    ASSERT_TRUE(relayed);
    const auto info = decodePlayerInfo(relayed->payload);
    EXPECT_EQ(info->name, "Renamed");
    EXPECT_EQ(info->character, 0);
    EXPECT_EQ(info->colour, (client::Colour{7, 8, 9}));
    expectSilence(player);  // no echo

    // A newcomer sees what was stored: the renamed player, never "Other".
    KarstClient newcomer = connectPlayer(server.port(), 3);
    newcomer.joinRoom(stageRoom(3));
    for (int i = 0; i < 2; ++i) {
        const auto frame = expectFrame(newcomer, MessageType::PlayerInfo);
        ASSERT_TRUE(frame);
        const auto member = decodePlayerInfo(frame->payload);
        if (member->playerId == player.playerId()) {
            EXPECT_EQ(member->name, "Renamed");
        }
    }
}

TEST(Rooms, SetCharacterInHubChangesCharacterAndInNoRoomTellsNobody) {
    TestServer server;
    KarstClient player = connectPlayer(server.port(), 1);
    KarstClient other = connectPlayer(server.port(), 2);
    player.setCharacter("", 3, {1, 2, 3});
    expectSilence(other);
    expectSilence(player);

    enterRoom(other, hubRoom());
    player.joinRoom(hubRoom());
    const auto info = expectFrame(other, MessageType::PlayerInfo);
    ASSERT_TRUE(info);
    EXPECT_EQ(decodePlayerInfo(info->payload)->name, "Player");
    EXPECT_EQ(decodePlayerInfo(info->payload)->character, 3);
    (void)other.receiveType(MessageType::RoomStatus);
    player.setCharacter("Knux", 6, {1, 2, 3});
    const auto changed = other.receiveType(MessageType::PlayerInfo);
    ASSERT_TRUE(changed);
    EXPECT_EQ(decodePlayerInfo(changed->payload)->character, 6);
}

TEST(Rooms, SetCharacterAboveSixClosesTheConnection) {
    TestServer server;
    KarstClient player = connectPlayer(server.port(), 1);
    player.setCharacter("Bad", 7, {0, 0, 0});
    EXPECT_TRUE(player.closedByPeer());
}

TEST(StageCountdown, BelowMinimumReadyNeverCounts) {
    TempDir dir;
    ServerSettings settings = testSettings(dir.path());
    settings.minimumReady = 2;
    TestServer server(settings);
    KarstClient lone = connectPlayer(server.port(), 1);
    enterRoom(lone, stageRoom(5));
    for (int i = 0; i < 2; ++i) {
        lone.setReady(1);
        const client::RoomStatus first = expectRoomStatus(lone);
        const client::RoomStatus second = expectRoomStatus(lone);
        EXPECT_EQ(first.ready, 1);
        EXPECT_EQ(first.countdown, 0);
        EXPECT_EQ(second.countdown, 0);
    }
    advanceMonotonicClockForTesting(4 * kNsPerSecond);
    expectSilence(lone);

    KarstClient partner = connectPlayer(server.port(), 2);
    enterRoom(partner, stageRoom(5), {&lone});
    lone.setReady(1);  // cleared by nothing: still ready, count is 1 of 2
    (void)expectRoomStatus(lone);
    (void)expectRoomStatus(lone);
    partner.setReady(1);
    EXPECT_EQ(expectRoomStatus(lone).countdown, 0);
    const client::RoomStatus counting = expectRoomStatus(lone);
    EXPECT_EQ(counting.countdown, 3);
    EXPECT_EQ(counting.members, 2);
    EXPECT_EQ(counting.ready, 2);
}

TEST(StageCountdown, AnnouncesThreeTwoOneZeroThenStarts) {
    TestServer server;
    KarstClient first = connectPlayer(server.port(), 1);
    KarstClient second = connectPlayer(server.port(), 2);
    const RoomKey room{7, 2, 3, 77};
    enterRoom(first, room);
    enterRoom(second, room, {&first});
    first.setReady(1);
    (void)expectRoomStatus(first);
    (void)expectRoomStatus(first);
    second.setReady(1);
    EXPECT_EQ(expectRoomStatus(first).countdown, 0);
    const client::RoomStatus three = expectRoomStatus(first);
    EXPECT_EQ(three.countdown, 3);
    EXPECT_EQ(three.mission, 3);

    // Repeating ready mid-countdown shows one 0 and the countdown runs on.
    second.setReady(1);
    EXPECT_EQ(expectRoomStatus(first).countdown, 0);
    for (uint8_t expected : {2, 1}) {
        advanceMonotonicClockForTesting(kNsPerSecond);
        EXPECT_EQ(expectRoomStatus(first).countdown, expected);
    }
    advanceMonotonicClockForTesting(kNsPerSecond);
    EXPECT_EQ(expectRoomStatus(first).countdown, 0);
    const auto start = expectFrame(first, MessageType::StageStart);
    ASSERT_TRUE(start);
    EXPECT_EQ(decodeStageStart(start->payload)->room, room);
    EXPECT_TRUE(awaitCountdown(second, 1));
    EXPECT_TRUE(second.receiveType(MessageType::StageStart).has_value());
    expectSilence(first);

    // The start cleared every ready flag.
    first.setReady(1);
    EXPECT_EQ(expectRoomStatus(first).ready, 1);
}

TEST(StageCountdown, NewcomerCancelsARunningCountdown) {
    TestServer server;
    KarstClient first = connectPlayer(server.port(), 1);
    KarstClient second = connectPlayer(server.port(), 2);
    KarstClient newcomer = connectPlayer(server.port(), 3);
    enterRoom(first, stageRoom(6));
    enterRoom(second, stageRoom(6), {&first});
    first.setReady(1);
    second.setReady(1);
    EXPECT_TRUE(awaitCountdown(first, 3));
    EXPECT_TRUE(awaitCountdown(second, 3));

    newcomer.joinRoom(stageRoom(6));
    EXPECT_TRUE(expectFrame(first, MessageType::PlayerInfo).has_value());
    const client::RoomStatus status = expectRoomStatus(first);
    EXPECT_EQ(status.members, 3);
    EXPECT_EQ(status.ready, 2);
    EXPECT_EQ(status.countdown, 0);
    advanceMonotonicClockForTesting(4 * kNsPerSecond);
    expectSilence(first);
}

}  // namespace
}  // namespace karst::testing
