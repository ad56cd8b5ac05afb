// Shared steps of the loopback tests of rooms and stage runs: players that have
// said Hello, entering rooms with the other members kept in step, running a
// countdown through the server's clock, and reading the next frame strictly.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>

#include "client/test_client.h"
#include "net/clock.h"
#include "net/coding.h"
#include "support/test_server.h"

namespace karst::testing {

using client::Frame;
using client::KarstClient;

// Long enough for the server (10 ms ticks) to have sent anything it was going to.
inline constexpr int kQuietMs = 100;

inline RoomKey stageRoom(int16_t level, uint32_t instance = 1) {
    return RoomKey{level, 0, 0, instance};
}
inline RoomKey hubRoom(uint32_t instance = 1) { return RoomKey{0, 0, 0, instance}; }

inline ProfileKey profileKeyFor(uint32_t n) {
    ProfileKey key{};
    key[0] = 0x4B;
    putU32(key.data() + 4, n);
    return key;
}

// A connected player that has been welcomed and is in no room yet.
inline KarstClient connectPlayer(uint16_t port, uint32_t n, uint8_t character = 0,
                                 const std::string& name = "") {
    KarstClient player;
    EXPECT_TRUE(player.connect(port));
    EXPECT_TRUE(player.hello(name.empty() ? "P" + std::to_string(n) : name, character, {10, 20, 30},
                             profileKeyFor(n)));
    EXPECT_TRUE(player.awaitWelcome().has_value());
    return player;
}

// The next frame, which must be of `type`.
inline std::optional<Frame> expectFrame(KarstClient& player, MessageType type) {
    std::optional<Frame> frame = player.receive();
    EXPECT_TRUE(frame.has_value()) << "expected type " << static_cast<int>(type) << ", got nothing";
    if (!frame) return std::nullopt;
    EXPECT_EQ(frame->header.type, static_cast<uint16_t>(type));
    if (frame->type() != type) return std::nullopt;
    return frame;
}

inline client::RoomStatus expectRoomStatus(KarstClient& player) {
    const std::optional<Frame> frame = expectFrame(player, MessageType::RoomStatus);
    if (!frame) return {};
    return client::decodeRoomStatus(frame->payload).value_or(client::RoomStatus{});
}

inline uint16_t expectNotice(KarstClient& player) {
    const std::optional<Frame> frame = expectFrame(player, MessageType::Notice);
    if (!frame) return 0;
    return client::decodeNotice(frame->payload).value_or(client::Notice{}).code;
}

inline void expectSilence(KarstClient& player) {
    const std::vector<Frame> frames = player.drain(kQuietMs);
    EXPECT_TRUE(frames.empty()) << frames.size() << " frame(s), first of type "
                                << frames.front().header.type;
}

// `mover` enters `room`, after which every member already there has read up to
// the RoomStatus the move sent it; returns the mover's RoomStatus.
inline client::RoomStatus enterRoom(KarstClient& mover, const RoomKey& room,
                                    std::initializer_list<KarstClient*> membersThere = {}) {
    EXPECT_TRUE(mover.joinRoom(room));
    const std::optional<Frame> status = mover.receiveType(MessageType::RoomStatus);
    EXPECT_TRUE(status.has_value());
    for (KarstClient* member : membersThere)
        EXPECT_TRUE(member->receiveType(MessageType::RoomStatus).has_value());
    if (!status) return {};
    return client::decodeRoomStatus(status->payload).value_or(client::RoomStatus{});
}

// Reads RoomStatus frames until one shows `countdown`.
inline bool awaitCountdown(KarstClient& player, uint8_t countdown) {
    for (;;) {
        const std::optional<Frame> frame = player.receiveType(MessageType::RoomStatus);
        if (!frame) return false;
        const auto status = client::decodeRoomStatus(frame->payload);
        if (status && status->countdown == countdown) return true;
    }
}

// Every member says ready, the countdown runs out on the server's clock, and
// each member has read its StageStart.
inline void startRun(std::initializer_list<KarstClient*> members) {
    for (KarstClient* member : members) EXPECT_TRUE(member->setReady(1));
    for (KarstClient* member : members) EXPECT_TRUE(awaitCountdown(*member, 3));
    advanceMonotonicClockForTesting(3 * kNsPerSecond);
    for (KarstClient* member : members)
        EXPECT_TRUE(member->receiveType(MessageType::StageStart).has_value());
}

}  // namespace karst::testing
