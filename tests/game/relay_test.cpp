// Movement, event and ping relay over TCP, through a real server on loopback.
// Time rules are driven by advancing the server's clock, never by sleeping.
#include <gtest/gtest.h>

#include <limits>

#include "game/player_state.h"
#include "game/room_players.h"
#include "net/clock.h"

namespace karst::testing {
namespace {

using client::PlayerEvent;
using client::PlayerStateRecord;

std::vector<PlayerStateRecord> statesFor(KarstClient& sender, KarstClient& receiver) {
    std::vector<PlayerStateRecord> states;
    for (const Frame& frame : receivedAfter(sender, receiver, MessageType::PlayerState)) {
        const auto state = client::decodePlayerState(frame.payload);
        EXPECT_TRUE(state.has_value());
        if (state) states.push_back(*state);
    }
    return states;
}

std::vector<PlayerEvent> eventsFor(KarstClient& sender, KarstClient& receiver) {
    std::vector<PlayerEvent> events;
    for (const Frame& frame : receivedAfter(sender, receiver, MessageType::PlayerEvent)) {
        const auto event = client::decodePlayerEvent(frame.payload);
        EXPECT_TRUE(event.has_value());
        if (event) events.push_back(*event);
    }
    return events;
}

TEST(PlayerStateRelay, OthersGetSenderIdAndUntouchedFieldsSenderGetsNothing) {
    TestServer server;
    auto players = playersInRoom(server, 3, kHubRoom);
    const PlayerStateRecord sent = movementIn(kHubRoom, 11);
    ASSERT_TRUE(players[0].playerState(sent));

    PlayerStateRecord expected = sent;
    expected.playerId = players[0].playerId();
    const auto expectedBytes = client::encodePlayerState(expected);
    for (size_t i : {1u, 2u}) {
        const auto frames = receivedAfter(players[0], players[i], MessageType::PlayerState);
        ASSERT_EQ(frames.size(), 1u) << "player " << i;
        EXPECT_EQ(frames[0].payload, std::vector<uint8_t>(expectedBytes.begin(), expectedBytes.end()));
    }
    EXPECT_TRUE(framesOfType(roundTrip(players[0]), MessageType::PlayerState).empty());
}

TEST(PlayerStateRelay, RecordOfAnotherRoomIsDroppedAndLeavesTheGateOpen) {
    TestServer server;
    auto players = playersInRoom(server, 2, kHubRoom);
    // Back to back: had the stale record counted, the second would fall to the gate.
    ASSERT_TRUE(players[0].playerState(movementIn(kOtherHubRoom, 1)));
    ASSERT_TRUE(players[0].playerState(movementIn(kHubRoom, 2)));
    const auto states = statesFor(players[0], players[1]);
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].timeMs, 2u);
}

TEST(PlayerStateRelay, SecondRecordWithinFifteenMillisecondsIsDropped) {
    TestServer server;
    auto players = playersInRoom(server, 2, kHubRoom);
    ASSERT_TRUE(players[0].playerState(movementIn(kHubRoom, 1)));
    ASSERT_TRUE(players[0].playerState(movementIn(kHubRoom, 2)));
    auto states = statesFor(players[0], players[1]);
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].timeMs, 1u);

    advanceMonotonicClockForTesting(kPlayerStateSpacingNs);
    ASSERT_TRUE(players[0].playerState(movementIn(kHubRoom, 3)));
    ASSERT_TRUE(players[0].playerState(movementIn(kHubRoom, 4)));
    states = statesFor(players[0], players[1]);
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].timeMs, 3u);
}

TEST(PlayerStateRelay, NonFiniteOrOversizedFloatClosesTheConnection) {
    TestServer server;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* what;
        size_t field;  // 0..2 position, 3..5 velocity
        float value;
    };
    const Case cases[] = {{"velocity y NaN", 4, nan},
                          {"position x +inf", 0, inf},
                          {"position x 1,000,000.5", 0, 1'000'000.5f},
                          {"velocity z -1,000,000.5", 5, -1'000'000.5f}};
    uint8_t index = 1;
    for (const Case& c : cases) {
        KarstClient player = enterPlayer(server, index++, kHubRoom);
        PlayerStateRecord record = movementIn(kHubRoom, 1);
        (c.field < 3 ? record.position[c.field] : record.velocity[c.field - 3]) = c.value;
        ASSERT_TRUE(player.playerState(record));
        EXPECT_TRUE(player.closedByPeer()) << c.what;
    }
}

TEST(PlayerEventRelay, KindAboveOneOrValueAboveLimitClosesTheConnection) {
    TestServer server;
    KarstClient badKind = enterPlayer(server, 1, kHubRoom);
    ASSERT_TRUE(badKind.playerEvent(PlayerEvent{0, 2, {}, 0, 0}));
    EXPECT_TRUE(badKind.closedByPeer());

    KarstClient badValue = enterPlayer(server, 2, kHubRoom);
    ASSERT_TRUE(badValue.playerEvent(PlayerEvent{0, 0, {}, 1'000'001, 0}));
    EXPECT_TRUE(badValue.closedByPeer());
}

TEST(PlayerEventRelay, EventReachesOthersWithSenderIdAndDetailsUnchanged) {
    TestServer server;
    auto players = playersInRoom(server, 3, kHubRoom);
    const PlayerEvent sent{999, 1, {0xAB, 0xCD, 0xEF}, 1'000'000, 0xFEEDFACE};
    ASSERT_TRUE(players[0].playerEvent(sent));

    PlayerEvent expected = sent;
    expected.playerId = players[0].playerId();
    const auto expectedBytes = client::encodePlayerEvent(expected);
    for (size_t i : {1u, 2u}) {
        const auto frames = receivedAfter(players[0], players[i], MessageType::PlayerEvent);
        ASSERT_EQ(frames.size(), 1u) << "player " << i;
        EXPECT_EQ(frames[0].payload, std::vector<uint8_t>(expectedBytes.begin(), expectedBytes.end()));
    }
    EXPECT_TRUE(framesOfType(roundTrip(players[0]), MessageType::PlayerEvent).empty());
}

TEST(PlayerEventRelay, EachKindHasItsOwnFourMillisecondSlot) {
    TestServer server;
    auto players = playersInRoom(server, 2, kHubRoom);
    ASSERT_TRUE(players[0].playerEvent(PlayerEvent{0, 0, {}, 1, 0}));
    ASSERT_TRUE(players[0].playerEvent(PlayerEvent{0, 1, {}, 2, 0}));
    ASSERT_TRUE(players[0].playerEvent(PlayerEvent{0, 0, {}, 3, 0}));
    auto events = eventsFor(players[0], players[1]);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].value, 1u);
    EXPECT_EQ(events[1].value, 2u);

    advanceMonotonicClockForTesting(kPlayerEventSpacingNs);
    ASSERT_TRUE(players[0].playerEvent(PlayerEvent{0, 0, {}, 4, 0}));
    events = eventsFor(players[0], players[1]);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].value, 4u);
}

TEST(Ping, PongCarriesThePingBytesOutsideAnyRoom) {
    TestServer server;
    KarstClient player = enterPlayer(server, 1, kNoRoom);
    ASSERT_TRUE(player.ping({0x01, 0x02, 0x03, 0x04}));
    const auto pong = player.receiveType(MessageType::Pong);
    ASSERT_TRUE(pong.has_value());
    EXPECT_EQ(pong->payload, (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04}));
}

}  // namespace
}  // namespace karst::testing
