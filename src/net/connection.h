// One accepted TCP connection: identity, room, buffers, send queue, rate-limit
// time stamps, the player's rings and fruit, and its UDP binding.
//
// Time stamps are monotonic nanoseconds (0 = never). The connection owns its two
// byte vectors; queued bytes die with it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "game/catalogue.h"
#include "game/room_key.h"
#include "net/socket.h"
#include "store/profile_key.h"

namespace karst {

inline constexpr size_t kReadChunkSize = 8192;
inline constexpr size_t kReceiveBufferLimit = 32768;
inline constexpr size_t kUnsentBytesLimit = 2 * 1024 * 1024;
// A drained buffer larger than this gives its memory back, so one burst does not
// pin megabytes for the rest of the connection's life.
inline constexpr size_t kRetainedBufferCapacity = 64 * 1024;


struct HeldFrame {
    uint64_t version = 0;
    std::vector<uint8_t> frame;
};

struct ClientConnection {
    net::SocketHandle socket = net::kInvalidSocket;
    uint32_t playerId = 0;
    bool authenticated = false;
    uint8_t ready = 0;
    PlayerName name{};
    uint8_t character = 0;
    Colour colour{255, 255, 255};
    ProfileKey profileKey{};
    RoomKey roomKey = kNoRoom;
    std::vector<uint8_t> receiveBuffer;
    std::vector<uint8_t> sendQueue;
    uint32_t sendOffset = 0;
    uint64_t lastPlayerStateNs = 0;
    std::array<uint64_t, 2> eventSlotNs{};
    uint64_t chatWindowStartNs = 0;
    uint8_t chatCount = 0;
    uint8_t finished = 0;
    uint8_t finishPlace = 0;
    uint32_t rings = 0;
    FruitInventory serverInventory{};
    uint32_t lastSequence = 0;
    uint32_t lastUdpSequence = 0;
    uint64_t udpToken = 0;
    net::SocketAddress udpAddress;
    bool udpBound = false;
    bool sendOverflow = false;
    // Its queue was dropped to keep all queues within the memory budget.
    bool cutOffByBudget = false;

    // Where the connection comes from, for the console and address bans.
    net::SocketAddress remoteAddress;
    net::IpAddress remoteIp;
    // A notice that ends the connection is queued; nothing more is handled.
    bool closing = false;
    // Its Hello waits for the shared store (lease and rows); frames it sends
    // meanwhile wait in the receive buffer, in order.
    bool awaitingStore = false;
    // Replies that report changes the shared store has not committed yet, each
    // with the change number it waits for; everything else goes out meanwhile.
    std::vector<HeldFrame> heldFrames;

    // The event loop's bookkeeping: on the closing list of this pass; waiting for
    // a writable report (its queue could not be written at once); listed for the
    // write at the end of the pass; the pass that last read it.
    bool closeScheduled = false;
    bool writeInterest = false;
    bool writePending = false;
    uint64_t readPass = 0;

    // Bookkeeping of the server's indexes.
    uint64_t acceptedAtNs = 0;
    // While authenticated: its room's member list, which the room index keeps in
    // place while the room has members, and its position there.
    std::vector<ClientConnection*>* roomMembers = nullptr;
    size_t roomSlot = 0;

    size_t unsentBytes() const { return sendQueue.size() - sendOffset; }
    bool hasUnsentBytes() const { return sendOffset < sendQueue.size(); }
};

}  // namespace karst
