// Hub proxies: their motion as a pure function, and what the members of a
// Central Plaza room receive from a real server.
#include "game/proxies.h"

#include "support/players.h"

namespace karst::testing {
namespace {

constexpr RoomKey kPlaza{26, 3, 1, 42};

// The same room in the server's terms, for its motion function.
karst::RoomKey serverKey(const RoomKey& room) {
    return {room.level, room.act, room.mission, room.instance};
}

client::PlayerStateRecord proxyState(uint32_t index, uint32_t count, uint32_t uptimeMs) {
    return *client::decodePlayerState(
        computeProxyState(serverKey(kPlaza), index, count, uptimeMs, uptimeMs, index + 1));
}

TEST(ProxyMotion, WorkedPositionsAndHeadings) {
    struct Case {
        uint32_t index, timeMs;
        float x, z;
        int32_t yaw;
    };
    const Case cases[] = {{0, 0, 84.0f, 1442.0f, 16384},
                          {0, 1000, 84.655f, 1441.952f, 17927},
                          {1, 0, 114.598f, 1441.0f, 25323}};
    for (const Case& c : cases) {
        SCOPED_TRACE("proxy " + std::to_string(c.index) + " at " + std::to_string(c.timeMs));
        const auto s = proxyState(c.index, 6, c.timeMs);
        EXPECT_NEAR(s.position[0], c.x, 0.001f);
        EXPECT_EQ(s.position[1], 0.0f);
        EXPECT_NEAR(s.position[2], c.z, 0.001f);
        EXPECT_EQ(s.yaw, c.yaw);
    }
    EXPECT_FLOAT_EQ(proxyState(0, 6, 0).velocity[0], 0.66f);
    EXPECT_EQ(proxyState(0, 6, 0).velocity[2], 0.0f);
    EXPECT_NEAR(proxyState(0, 6, 1000).velocity[0], 0.644f, 0.001f);
    EXPECT_NEAR(proxyState(0, 6, 1000).velocity[2], -0.096f, 0.001f);
    EXPECT_EQ(proxyState(0, 0, 0).position[2], 1442.0f);  // a count of 0 counts as 1
}

// The next whole round of six proxy records, in proxy order, each checked
// against the motion at its stamp (taken at most a millisecond before it).
std::vector<client::PlayerStateRecord> nextProxyRound(KarstClient& c, const RoomKey& room) {
    std::vector<client::PlayerStateRecord> round;
    while (round.size() < 6) {
        const auto frame = c.receiveType(MessageType::PlayerState);
        if (!frame) break;
        const auto record = *client::decodePlayerState(frame->payload);
        if (record.playerId != round.size() + 1) round.clear();
        if (record.playerId == round.size() + 1) round.push_back(record);
    }
    EXPECT_EQ(round.size(), 6u);
    for (uint32_t i = 0; i < round.size(); ++i) {
        const auto expected = *client::decodePlayerState(
            computeProxyState(serverKey(room), i, 6, round[i].timeMs, round[i].timeMs, i + 1));
        EXPECT_EQ(round[i].room, room);
        EXPECT_NEAR(round[i].position[0], expected.position[0], 0.01f);
        EXPECT_NEAR(round[i].position[2], expected.position[2], 0.01f);
    }
    return round;
}

size_t proxyStates(const std::vector<Frame>& frames) {
    return framesOfType(frames, MessageType::PlayerState).size();
}

TEST(HubProxies, NewcomerGetsMembersThenProxyPairsAndRoomsGetRounds50MsApart) {
    FrozenClocks clocks;
    TestServer server;
    constexpr RoomKey kOtherPlaza{26, 3, 1, 43};
    KarstClient first = enterPlayer(server, 1);
    first.joinRoom(kPlaza);
    // The greeting's six states, then the room's first round in the same pass.
    EXPECT_EQ(proxyStates(afterTimers(first)), 12u);
    KarstClient elsewhere = enterPlayer(server, 2, kOtherPlaza);
    KarstClient second = enterPlayer(server, 3);
    second.joinRoom(kPlaza);
    const std::vector<Frame> arrival = untilRoomStatus(second);
    ASSERT_EQ(arrival.size(), 14u);
    EXPECT_EQ(client::decodePlayerInfo(arrival[0].payload)->playerId, first.playerId());
    for (uint32_t i = 0; i < 6; ++i) {
        const auto info = client::decodePlayerInfo(arrival[1 + 2 * i].payload);
        const auto state = client::decodePlayerState(arrival[2 + 2 * i].payload);
        ASSERT_TRUE(info.has_value() && state.has_value());
        EXPECT_EQ(info->playerId, i + 1);
        EXPECT_EQ(info->name, "Proxy " + std::to_string(i + 1));
        EXPECT_EQ(info->character, i);
        EXPECT_EQ(info->room, kPlaza);
        EXPECT_EQ(state->playerId, i + 1);
        EXPECT_EQ(state->room, kPlaza);
        EXPECT_EQ(state->opaque, 65536u);
    }

    advanceMonotonicClockForTesting(50 * kNsPerMs - 1);
    EXPECT_EQ(proxyStates(afterTimers(first)), 0u);
    advanceMonotonicClockForTesting(1);
    const auto round = nextProxyRound(first, kPlaza);
    const uint32_t greetedMs = client::decodePlayerState(arrival[2].payload)->timeMs;
    if (!round.empty()) {
        EXPECT_EQ(round[0].timeMs, greetedMs + 50);
    }
    nextProxyRound(second, kPlaza);
    nextProxyRound(elsewhere, kOtherPlaza);

    KarstClient visitor = enterPlayer(server, 4);  // other acts of the level have none
    for (const int8_t act : {2, 4}) {
        visitor.joinRoom(RoomKey{26, act, 0, 0});
        EXPECT_EQ(untilRoomStatus(visitor).size(), 1u);
        EXPECT_TRUE(afterTimers(visitor).empty());
    }
}

}  // namespace
}  // namespace karst::testing
