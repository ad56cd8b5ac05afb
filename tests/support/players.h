// Loopback players for tests against a TestServer: distinct identities, clients
// that have said Hello and entered rooms, a Ping round trip that tells when the
// server has handled everything a client sent, frames picked out and decoded by
// type, and the profile store read back or written before a server starts.
//
// Tests that play speak the client's terms (its message types, room keys and
// store layouts), never the server's: the client is the oracle they judge by.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "client/store_files.h"
#include "client/test_client.h"
#include "net/clock.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

namespace karst::testing {

using client::Frame;
using client::KarstClient;
using client::kNoRoom;
using client::MessageType;
using client::RoomKey;
using client::StoredProfile;

// Stops the server's clocks for as long as it lives, so that only the test
// moves them and "one nanosecond short of a limit" means exactly that. Declare
// it before the TestServer, which must stop before the clocks run again.
class FrozenClocks {
public:
    FrozenClocks() { freezeClocksForTesting(true); }
    ~FrozenClocks() { freezeClocksForTesting(false); }
    FrozenClocks(const FrozenClocks&) = delete;
    FrozenClocks& operator=(const FrozenClocks&) = delete;
};

// Hub worlds without proxies, so a room holds only the test's players.
inline constexpr RoomKey kHubRoom{0, 0, 0, 7};
inline constexpr RoomKey kOtherHubRoom{11, 1, 2, 7};

inline ProfileKey profileKeyFor(uint8_t n) {
    ProfileKey key{};
    key.fill(n);
    key[0] = 0xA5;  // never all zero
    return key;
}

// A connection that has said Hello with colour {1, 2, 3}; nothing is read yet.
inline KarstClient helloWith(uint16_t port, const ProfileKey& key, const std::string& name = "P",
                             uint8_t character = 0, const std::string& host = "127.0.0.1") {
    KarstClient c;
    EXPECT_TRUE(c.connect(port, host));
    EXPECT_TRUE(c.hello(name, character, client::Colour{1, 2, 3}, key));
    return c;
}

// Connects, says Hello and waits for Welcome; the test fails if any step fails.
inline KarstClient welcomedClient(uint16_t port, const std::string& name, uint8_t keySeed,
                                  uint8_t character = 0) {
    KarstClient c = helloWith(port, profileKeyFor(keySeed), name, character);
    EXPECT_TRUE(c.awaitWelcome().has_value()) << name << " got no Welcome";
    return c;
}

// Player n again after its earlier connection closed. The server refuses the
// identity until it has noticed that close, which may take it a pass or two.
// Says Hello until the identity is free again. A refused Hello is closed at
// once and tried again; one still open is only slow (a shared store answering
// late under load) and is waited for. Refusals come back at once, and a shared
// store gives the identity up only once the database has it, so the tries are
// bounded by time rather than by their number.
inline KarstClient reconnect(uint16_t port, uint8_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        KarstClient c = helloWith(port, profileKeyFor(n));
        if (c.awaitWelcome(200)) return c;
        if (!c.closedByPeer(0) && c.awaitWelcome()) return c;
        if (std::chrono::steady_clock::now() >= deadline) return c;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

inline std::vector<Frame> framesOfType(std::vector<Frame> frames, MessageType type) {
    std::erase_if(frames, [&](const Frame& f) { return f.type() != type; });
    return frames;
}

// The frames of `type` among `frames`, each decoded by `decode` (a client parser).
template <typename Decode>
auto decodeAll(const std::vector<Frame>& frames, MessageType type, Decode decode) {
    std::vector<typename decltype(decode(std::span<const uint8_t>{}))::value_type> out;
    for (const Frame& frame : framesOfType(frames, type)) {
        const auto message = decode(frame.payload);
        EXPECT_TRUE(message.has_value()) << "malformed frame of type " << frame.header.type;
        if (message) out.push_back(*message);
    }
    return out;
}

// The next frame of `type`, decoded; frames of other types are passed over.
template <typename Decode>
auto awaitMessage(KarstClient& player, MessageType type, Decode decode) {
    using Message = typename decltype(decode(std::span<const uint8_t>{}))::value_type;
    const std::optional<Frame> frame = player.receiveType(type);
    EXPECT_TRUE(frame.has_value()) << "no frame of type " << static_cast<int>(type);
    return frame ? decode(frame->payload).value_or(Message{}) : Message{};
}

inline uint16_t awaitNotice(KarstClient& player) {
    return awaitMessage(player, MessageType::Notice, client::decodeNotice).code;
}

inline client::RoomStatus awaitStatus(KarstClient& player) {
    return awaitMessage(player, MessageType::RoomStatus, client::decodeRoomStatus);
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

// Everything queued for `player` until a whole pass, periodic work included,
// has run since the call: a timer due at the clock's present reading has fired.
// One round trip is not enough, as its Pong leaves before its pass's timers run.
inline std::vector<Frame> afterTimers(KarstClient& player) {
    std::vector<Frame> frames = roundTrip(player);
    for (Frame& frame : roundTrip(player)) frames.push_back(std::move(frame));
    return frames;
}

// What `receiver` got of `type` once `sender`'s earlier messages were handled.
inline std::vector<Frame> receivedAfter(KarstClient& sender, KarstClient& receiver,
                                        MessageType type) {
    if (&sender != &receiver) roundTrip(sender);
    return framesOfType(roundTrip(receiver), type);
}

// Everything up to and including the next RoomStatus, which a room's newcomer
// receives after the members, proxies and creatures there.
inline std::vector<Frame> untilRoomStatus(KarstClient& player) {
    std::vector<Frame> frames;
    while (std::optional<Frame> frame = player.receive()) {
        frames.push_back(std::move(*frame));
        if (frames.back().type() == MessageType::RoomStatus) return frames;
    }
    ADD_FAILURE() << "no RoomStatus for player " << player.playerId();
    return frames;
}

// `mover` enters `room`, after which each of `members` (of the old room or the
// new) has read up to the RoomStatus the move sent it; returns the mover's.
inline client::RoomStatus enterRoom(KarstClient& mover, const RoomKey& room,
                                    std::initializer_list<KarstClient*> members = {}) {
    EXPECT_TRUE(mover.joinRoom(room));
    const std::vector<Frame> frames = untilRoomStatus(mover);
    for (KarstClient* member : members) untilRoomStatus(*member);
    const auto statuses = decodeAll(frames, MessageType::RoomStatus, client::decodeRoomStatus);
    return statuses.empty() ? client::RoomStatus{} : statuses.back();
}

// Reads RoomStatus frames until one shows `countdown`.
inline bool awaitCountdown(KarstClient& player, uint8_t countdown) {
    while (const std::optional<Frame> frame = player.receiveType(MessageType::RoomStatus))
        if (client::decodeRoomStatus(frame->payload)->countdown == countdown) return true;
    return false;
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

// Player "P<n>" with profileKeyFor(n), welcomed and in `room` unless that is
// the no-room key, having read everything its arrival brought.
inline KarstClient enterPlayer(const TestServer& server, uint8_t n, const RoomKey& room = kNoRoom,
                               uint8_t character = 0) {
    KarstClient player = welcomedClient(server.port(), "P" + std::to_string(n), n, character);
    if (room.inRoom()) {
        EXPECT_TRUE(player.joinRoom(room));
        roundTrip(player);
    }
    return player;
}

// Players 1..count entered one by one into `room`; what their arrivals produced is read away.
inline std::vector<KarstClient> playersInRoom(const TestServer& server, size_t count,
                                              const RoomKey& room) {
    std::vector<KarstClient> players;
    for (size_t i = 0; i < count; ++i)
        players.push_back(enterPlayer(server, static_cast<uint8_t>(i + 1), room));
    for (KarstClient& player : players) roundTrip(player);
    return players;
}

// Distinct values in every field; `timeMs` tells records of one test apart.
inline client::PlayerStateRecord movementIn(const RoomKey& room, uint32_t timeMs) {
    client::PlayerStateRecord record;
    record.playerId = 424242;  // never the sender's: the server must overwrite it
    record.room = room;
    record.position = {1.5f, -2.25f, 1'000'000.0f};
    record.velocity = {-1'000'000.0f, 0.125f, 3.0f};
    record.yaw = std::numeric_limits<int32_t>::min();
    record.opaque = 0xFFFFFFFF;  // a NaN bit pattern: only the six floats are checked
    record.timeMs = timeMs;
    return record;
}

// ---- The Pibo garden ----------------------------------------------------

inline constexpr RoomKey kGarden{40, 1, 0, 0};
inline constexpr uint8_t kHatchedType = 5;

// The registration of the creature in `slot` of player n's profile, under its derived id.
inline client::PiboRegister creature(uint8_t n, uint8_t slot, uint8_t type = kHatchedType,
                                     const RoomKey& room = kGarden) {
    client::PiboRegister message;
    message.id = client::derivePiboId(profileKeyFor(n), slot);
    message.room = room;
    message.localSlot = slot;
    message.stage = type == 1 ? 1 : 2;
    message.name = "Pet" + std::to_string(slot);
    message.data[128] = type;
    message.data[1080] = static_cast<uint8_t>(0x40 + slot);
    return message;
}

// Registers and returns the PiboAppear of that creature, passing over the
// appearances of creatures other players registered meanwhile.
inline client::PiboAppear registerCreature(KarstClient& player, const client::PiboRegister& message) {
    EXPECT_TRUE(player.piboRegister(message));
    client::PiboAppear appear;
    do appear = awaitMessage(player, MessageType::PiboAppear, client::decodePiboAppear);
    while (appear.id != 0 && appear.id != message.id);
    return appear;
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

inline size_t countOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Writes the profile store a server with `settings` loads when it starts.
inline void writeProfileStore(const ServerSettings& settings,
                              std::initializer_list<StoredProfile> profiles) {
    writeBytes(settings.profileStorePath,
               client::writeProfileStore(std::vector<StoredProfile>(profiles)));
}

// The Pibo store a server left, by id; empty (and a failure) when it does not load.
inline std::map<uint64_t, client::StoredPibo> storedCreatures(const ServerSettings& settings) {
    const auto store = client::readPiboStore(readBytes(settings.piboStorePath));
    if (!store) ADD_FAILURE() << "the Pibo store does not load";
    return store ? store->records : std::map<uint64_t, client::StoredPibo>{};
}

inline StoredProfile storedProfile(const ServerSettings& settings, uint8_t n) {
    const auto store = client::readProfileStore(readBytes(settings.profileStorePath));
    if (store && store->contains(profileKeyFor(n))) return store->at(profileKeyFor(n));
    ADD_FAILURE() << (store ? "no profile " + std::to_string(n) : "the profile store does not load");
    return {};
}

}  // namespace karst::testing
