// Helpers for the garden's loopback tests: players logged in to a TestServer,
// creatures to register, states to send, and the frames to expect back.
#pragma once

#include "client/test_client.h"
#include "net/clock.h"
#include "store/profile_store.h"
#include "support/test_server.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace karst::testing {

using client::KarstClient;

inline constexpr RoomKey kGarden{40, 1, 0, 0};
inline constexpr RoomKey kOtherGarden{40, 1, 0, 1};
inline constexpr RoomKey kHub{0, 0, 0, 0};
inline constexpr int kQuietMs = 150;
inline constexpr uint8_t kHatchedType = 5;

inline ProfileKey profileKey(uint8_t byte) {
    ProfileKey key;
    key.fill(byte);
    return key;
}

// Waits until the server has handled everything the player sent so far: an
// interaction with no target is always answered, to the sender alone. Frames
// that arrive before the answer are dropped.
inline void settle(KarstClient& player) {
    EXPECT_TRUE(player.piboInteract(0, 0, 1));
    EXPECT_TRUE(player.receiveType(MessageType::PiboInteractResult).has_value());
}

// A logged-in player; `room` is joined unless it is the no-room key.
inline KarstClient logIn(uint16_t port, const ProfileKey& key, const RoomKey& room = kGarden) {
    KarstClient player;
    EXPECT_TRUE(player.connect(port));
    EXPECT_TRUE(player.hello("Gardener", 0, {1, 2, 3}, key));
    EXPECT_TRUE(player.awaitWelcome().has_value());
    if (room.inRoom()) {
        EXPECT_TRUE(player.joinRoom(room));
        settle(player);
    }
    return player;
}

// The registration of the creature in `slot` of `key`, under its derived id.
inline client::PiboRegister creature(const ProfileKey& key, uint8_t slot,
                                     uint8_t type = kHatchedType, const RoomKey& room = kGarden) {
    client::PiboRegister message;
    message.id = client::derivePiboId(key, slot);
    message.room = room;
    message.localSlot = slot;
    message.stage = type == 1 ? 1 : 2;
    message.name = "Pet" + std::to_string(slot);
    message.data[128] = type;
    message.data[1080] = static_cast<uint8_t>(0x40 + slot);
    return message;
}

inline std::optional<client::PiboAppear> awaitAppear(KarstClient& player) {
    const auto frame = player.receiveType(MessageType::PiboAppear);
    if (!frame) return std::nullopt;
    return client::decodePiboAppear(frame->payload);
}

inline std::optional<client::Notice> awaitNotice(KarstClient& player) {
    const auto frame = player.receiveType(MessageType::Notice);
    if (!frame) return std::nullopt;
    return client::decodeNotice(frame->payload);
}

// Registers and waits for the PiboAppear of that creature, passing over the
// appearances of creatures other players registered meanwhile.
inline void registerCreature(KarstClient& player, const client::PiboRegister& message) {
    ASSERT_TRUE(player.piboRegister(message));
    for (;;) {
        const auto appear = awaitAppear(player);
        ASSERT_TRUE(appear.has_value()) << "no PiboAppear for " << message.id;
        if (appear->id == message.id) return;
    }
}

// A state at (x, 0, 0); the server's clock moves past the 15 ms gate first.
inline client::PiboState stateAt(uint64_t id, float x, const RoomKey& room = kGarden) {
    advanceMonotonicClockForTesting(20 * kNsPerMs);
    client::PiboState state;
    state.id = id;
    state.room = room;
    state.position = {x, 0.0f, 0.0f};
    state.further = {0.5f, 0.25f, 0.125f};
    state.extra = {9, 8, 7};
    return state;
}

// The frames of `type` among everything that arrives until the line goes quiet.
inline std::vector<client::Frame> framesOfType(KarstClient& player, MessageType type) {
    std::vector<client::Frame> frames = player.drain(kQuietMs);
    std::erase_if(frames, [&](const client::Frame& f) { return f.type() != type; });
    return frames;
}

inline std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace karst::testing
