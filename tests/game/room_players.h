// Loopback players for the relay, chat and UDP tests: clients that have said
// Hello and entered a room, a Ping round trip that tells when the server has
// handled everything a client sent, and a movement record whose every field is
// recognisable.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include "client/messages.h"
#include "client/test_client.h"
#include "support/test_server.h"

namespace karst::testing {

using client::Frame;
using client::KarstClient;

// A hub world without proxies, so a room holds only the test's players.
inline constexpr RoomKey kHubRoom{0, 0, 0, 7};
inline constexpr RoomKey kOtherHubRoom{11, 1, 2, 7};

inline ProfileKey testProfileKey(uint8_t index) {
    ProfileKey key{};
    key[0] = index;
    key[15] = 0x5A;
    return key;
}

// Everything the server queued for `player` before answering a fresh Ping.
// Once it returns, the server has handled every message the player sent earlier.
inline std::vector<Frame> roundTrip(KarstClient& player) {
    static uint32_t counter = 0;
    ++counter;
    const std::array<uint8_t, kPingSize> marker{0xEE, static_cast<uint8_t>(counter),
                                                static_cast<uint8_t>(counter >> 8), 0xEE};
    std::vector<Frame> before;
    EXPECT_TRUE(player.ping(marker));
    for (;;) {
        std::optional<Frame> frame = player.receive();
        if (!frame) {
            ADD_FAILURE() << "no Pong for player " << player.playerId();
            return before;
        }
        if (frame->type() == MessageType::Pong &&
            std::equal(marker.begin(), marker.end(), frame->payload.begin()))
            return before;
        before.push_back(std::move(*frame));
    }
}

// Connected, welcomed, and in `room` unless `room` is the no-room key.
inline KarstClient enterPlayer(const TestServer& server, uint8_t index, const RoomKey& room) {
    KarstClient player;
    EXPECT_TRUE(player.connect(server.port()));
    EXPECT_TRUE(player.hello("Player" + std::to_string(index), 0, {1, 2, 3}, testProfileKey(index)));
    EXPECT_TRUE(player.awaitWelcome().has_value());
    if (room.inRoom()) {
        EXPECT_TRUE(player.joinRoom(room));
        roundTrip(player);
    }
    return player;
}

// Players entered one by one into `room`; what their arrivals produced is read away.
inline std::vector<KarstClient> playersInRoom(const TestServer& server, size_t count,
                                              const RoomKey& room) {
    std::vector<KarstClient> players;
    for (size_t i = 0; i < count; ++i)
        players.push_back(enterPlayer(server, static_cast<uint8_t>(i + 1), room));
    for (KarstClient& player : players) roundTrip(player);
    return players;
}

inline std::vector<Frame> framesOfType(const std::vector<Frame>& frames, MessageType type) {
    std::vector<Frame> out;
    for (const Frame& frame : frames)
        if (frame.type() == type) out.push_back(frame);
    return out;
}

// What `receiver` got of `type` once `sender`'s earlier messages were handled.
inline std::vector<Frame> receivedAfter(KarstClient& sender, KarstClient& receiver,
                                        MessageType type) {
    if (&sender != &receiver) roundTrip(sender);
    return framesOfType(roundTrip(receiver), type);
}

// Distinct values in every field; `timeMs` tells records of one test apart.
inline client::PlayerStateRecord movementIn(const RoomKey& room, uint32_t timeMs) {
    client::PlayerStateRecord record;
    record.playerId = 424242;  // never the sender's: the server must overwrite it
    record.room = room;
    record.position = {1.5f, -2.25f, 1'000'000.0f};
    record.velocity = {-1'000'000.0f, 0.125f, 3.0f};
    record.yaw = std::numeric_limits<int32_t>::min();
    record.opaque = 0xFFFFFFFF;
    record.timeMs = timeMs;
    return record;
}

inline bool sameMovement(const client::PlayerStateRecord& a, const client::PlayerStateRecord& b) {
    return a.playerId == b.playerId && a.room == b.room && a.position == b.position &&
           a.velocity == b.velocity && a.yaw == b.yaw && a.opaque == b.opaque &&
           a.timeMs == b.timeMs;
}

}  // namespace karst::testing
