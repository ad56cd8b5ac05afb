// Movement, event and ping relay over TCP, through a real server on loopback.
// Time rules are driven by advancing the server's clock, never by sleeping.
#include <cmath>

#include "game/player_state.h"
#include "support/players.h"

namespace karst::testing {
namespace {

// Time stamps of the movement, then values of the events, that `receiver` got
// once `sender`'s messages so far were handled.
std::vector<uint32_t> relayed(KarstClient& sender, KarstClient& receiver) {
    roundTrip(sender);
    const std::vector<Frame> frames = roundTrip(receiver);
    std::vector<uint32_t> out;
    for (const auto& state : decodeAll(frames, MessageType::PlayerState, client::decodePlayerState))
        out.push_back(state.timeMs);
    for (const auto& event : decodeAll(frames, MessageType::PlayerEvent, client::decodePlayerEvent))
        out.push_back(event.value);
    return out;
}

client::PlayerStateRecord movementWith(size_t field, float value) {
    client::PlayerStateRecord record = movementIn(kHubRoom, 1);
    (field < 3 ? record.position[field] : record.velocity[field - 3]) = value;
    return record;
}

TEST(Relay, StatesAndEventsReachTheOthersWithTheSenderIdAndNotTheSender) {
    TestServer server;
    auto players = playersInRoom(server, 3, kHubRoom);
    const client::PlayerEvent event{999, 1, {0xAB, 0xCD, 0xEF}, 1'000'000, 0xFEEDFACE};
    ASSERT_TRUE(players[0].playerState(movementIn(kHubRoom, 11)));
    ASSERT_TRUE(players[0].playerEvent(event));
    EXPECT_TRUE(roundTrip(players[0]).empty());

    client::PlayerStateRecord expectedState = movementIn(kHubRoom, 11);
    expectedState.playerId = players[0].playerId();
    client::PlayerEvent expectedEvent = event;
    expectedEvent.playerId = players[0].playerId();
    for (size_t i : {1u, 2u}) {
        const auto frames = roundTrip(players[i]);
        ASSERT_EQ(frames.size(), 2u) << "player " << i;
        EXPECT_TRUE(std::ranges::equal(frames[0].payload, client::encodePlayerState(expectedState)));
        EXPECT_TRUE(std::ranges::equal(frames[1].payload, client::encodePlayerEvent(expectedEvent)));
    }
}

// Each gate seen one nanosecond short of its spacing and then at it.
TEST(Relay, OneStatePer15MsAndOneEventPerKindPer4Ms) {
    FrozenClocks clocks;
    TestServer server;
    auto players = playersInRoom(server, 2, kHubRoom);
    KarstClient& sender = players[0];
    // Back to back: had the other room's record counted, the next would fall to the gate.
    ASSERT_TRUE(sender.playerState(movementIn(kOtherHubRoom, 1)));
    ASSERT_TRUE(sender.playerState(movementIn(kHubRoom, 2)));
    ASSERT_TRUE(sender.playerState(movementIn(kHubRoom, 3)));
    ASSERT_TRUE(sender.playerEvent({0, 0, {}, 101, 0}));
    ASSERT_TRUE(sender.playerEvent({0, 1, {}, 102, 0}));
    ASSERT_TRUE(sender.playerEvent({0, 0, {}, 103, 0}));
    EXPECT_EQ(relayed(sender, players[1]), (std::vector<uint32_t>{2, 101, 102}));

    advanceMonotonicClockForTesting(4 * kNsPerMs - 1);
    ASSERT_TRUE(sender.playerState(movementIn(kHubRoom, 4)));
    ASSERT_TRUE(sender.playerEvent({0, 0, {}, 104, 0}));
    EXPECT_TRUE(relayed(sender, players[1]).empty());
    advanceMonotonicClockForTesting(1);
    ASSERT_TRUE(sender.playerState(movementIn(kHubRoom, 5)));
    ASSERT_TRUE(sender.playerEvent({0, 0, {}, 105, 0}));
    ASSERT_TRUE(sender.playerEvent({0, 1, {}, 106, 0}));
    ASSERT_TRUE(sender.playerEvent({0, 0, {}, 107, 0}));
    EXPECT_EQ(relayed(sender, players[1]), (std::vector<uint32_t>{105, 106}));

    advanceMonotonicClockForTesting(11 * kNsPerMs - 1);
    ASSERT_TRUE(sender.playerState(movementIn(kHubRoom, 6)));
    EXPECT_TRUE(relayed(sender, players[1]).empty());
    advanceMonotonicClockForTesting(1);
    ASSERT_TRUE(sender.playerState(movementIn(kHubRoom, 7)));
    ASSERT_TRUE(sender.playerState(movementIn(kHubRoom, 8)));
    EXPECT_EQ(relayed(sender, players[1]), (std::vector<uint32_t>{7}));
}

TEST(Relay, BadFloatsEventKindsAndValuesCloseTheConnection) {
    TestServer server;
    const client::PlayerStateRecord badStates[] = {
        movementWith(4, NAN), movementWith(0, INFINITY), movementWith(0, 1'000'000.5f),
        movementWith(5, -1'000'000.5f)};
    const client::PlayerEvent badEvents[] = {{0, 2, {}, 0, 0}, {0, 0, {}, 1'000'001, 0}};
    uint8_t n = 1;
    for (const client::PlayerStateRecord& record : badStates) {
        KarstClient player = enterPlayer(server, n++, kHubRoom);
        ASSERT_TRUE(player.playerState(record));
        EXPECT_TRUE(player.closedByPeer()) << "state case " << int(n);
    }
    for (const client::PlayerEvent& event : badEvents) {
        KarstClient player = enterPlayer(server, n++, kHubRoom);
        ASSERT_TRUE(player.playerEvent(event));
        EXPECT_TRUE(player.closedByPeer()) << "event kind " << int(event.kind);
    }
}

}  // namespace
}  // namespace karst::testing
