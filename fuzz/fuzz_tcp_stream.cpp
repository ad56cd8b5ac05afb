// Fuzz target: the byte streams of two TCP connections through framing, the
// gate and every handler of a real GameServer, with the event loop's other
// duties (handshake deadline, countdowns, proxies, store writes) in between.
//
// Input layout (fuzz/make_seeds.cpp writes seeds in it):
//   byte 0   setup: bits 0-2 how a step's bytes arrive (0: in one read; 1-7: in
//            reads of kChunkSizes bytes, each parsed), bit 3 player A starts as a
//            fresh connection owing its Hello (else authenticated, in no room),
//            bit 4 likewise player B, bits 5-6 room capacity from kRoomCapacities,
//            bit 7 two ready players needed to start a stage.
//   then steps, each a control byte and the bytes of one frame (as long as the
//            header at its start says, or what is left of the input):
//            bit 0 player (A or B), bits 1-3 clock step (kClockStepsNs), bit 4 the
//            wall clock passes the breeding cooldown, bit 5 the rest of the loop
//            pass runs afterwards, bit 6 the peer reconnects first (its old
//            connection goes through the server's disconnect), bit 7 more bytes
//            follow in the same read (appended, not parsed yet).
// A connection the server failed is disconnected as the event loop would; the
// next bytes for that player arrive on a new connection owing its Hello.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <span>

#include "app/game_server.h"
#include "fuzz_support.h"
#include "net/clock.h"
#include "net/coding.h"
#include "server_access.h"
#include "store_checks.h"

namespace karst::fuzz {
namespace {

// KARST_FUZZ_TRACE=1 prints each step, to see what a seed or a crash input does.
const bool kTrace = std::getenv("KARST_FUZZ_TRACE") != nullptr;

constexpr std::array<size_t, 8> kChunkSizes = {0, 1, 2, 5, 16, 33, 100, 700};
constexpr std::array<uint32_t, 4> kRoomCapacities = {128, 1, 2, 4};

struct Setup {
    size_t chunkSize = 0;  // 0: a step's bytes in one read
    bool guestA = false;
    bool guestB = false;
    uint32_t roomCapacity = 128;
    uint32_t minimumReady = 1;
};

Setup readSetup(uint8_t byte) {
    return Setup{.chunkSize = kChunkSizes[byte & 7],
                 .guestA = (byte & 0x08) != 0,
                 .guestB = (byte & 0x10) != 0,
                 .roomCapacity = kRoomCapacities[(byte >> 5) & 3],
                 .minimumReady = (byte & 0x80) != 0 ? 2u : 1u};
}

// One frame as its header announces it, or what is left of the input.
size_t frameChunkSize(std::span<const uint8_t> rest) {
    if (rest.size() < kFrameHeaderSize) return rest.size();
    return kFrameHeaderSize + getU32(rest.data() + 8);
}

class StreamSession {
public:
    StreamSession(GameServer& server, const Setup& setup) : access_(server) {
        for (size_t i = 0; i < sockets_.size(); ++i) {
            const bool guest = i == 0 ? setup.guestA : setup.guestB;
            sockets_[i] = guest ? access_.addGuest().socket : access_.addPlayer(kNoRoom).socket;
        }
    }

    ~StreamSession() {
        access_.drainQueues();
        access_.forgetConnections();
    }

    void step(uint8_t control, std::span<const uint8_t> bytes, size_t chunkSize) {
        const size_t player = control & 1;
        advanceMonotonicClockForTesting(kClockStepsNs[(control >> 1) & 7]);
        if (control & 0x10) advanceWallClockForTesting(kWallClockStepSeconds);
        if (control & 0x40) closeConnection(player);
        const bool parse = (control & 0x80) == 0;
        // An empty step is still a read: the parse of what earlier steps left.
        if (chunkSize == 0 || bytes.empty()) chunkSize = std::max<size_t>(bytes.size(), 1);
        size_t at = 0;
        do {
            deliver(player, bytes.subspan(at, std::min(chunkSize, bytes.size() - at)), parse);
            at += chunkSize;
        } while (at < bytes.size());
        if (control & 0x20) access_.finishPass();
        closeOverflowingConnections();
        access_.drainQueues();
        if (const std::string fault = access_.indexFault(); !fault.empty()) fail(fault);
    }

    void finish() {
        access_.finishPass();
        if (const std::string fault = access_.indexFault(); !fault.empty()) fail(fault);
        checkProfileRoundTrip(access_.profileStore().records());
        checkPiboRoundTrip(access_.piboStore().records(), access_.piboStore().nextPiboId());
    }

private:
    ClientConnection& connectionOf(size_t player) {
        if (ClientConnection* c = access_.find(sockets_[player])) return *c;
        ClientConnection& fresh = access_.addGuest();
        sockets_[player] = fresh.socket;
        return fresh;
    }

    void closeConnection(size_t player) {
        if (access_.find(sockets_[player]) != nullptr) access_.disconnect(sockets_[player]);
    }

    // Receive as the event loop does: append, enforce the buffer limit, parse.
    void deliver(size_t player, std::span<const uint8_t> chunk, bool parse) {
        ClientConnection& c = connectionOf(player);
        c.receiveBuffer.insert(c.receiveBuffer.end(), chunk.begin(), chunk.end());
        if (c.receiveBuffer.size() <= kReceiveBufferLimit && !parse) return;
        const bool ok = c.receiveBuffer.size() <= kReceiveBufferLimit && access_.parse(c);
        // Stores are written at the end of a pass only: a write per read would cost
        // most of the fuzzer's time and reach no other code.
        if (kTrace)
            std::fprintf(stderr, "player %zu (id %u): %zu bytes, type %u, %s\n", player, c.playerId,
                         chunk.size(), chunk.size() >= 8 ? getU16(chunk.data() + 6) : 0u,
                         ok ? "ok" : "failed");
        if (!ok) access_.disconnect(c.socket);
    }

    // The event loop closes a connection whose send queue overflowed.
    void closeOverflowingConnections() {
        for (size_t player = 0; player < sockets_.size(); ++player) {
            const ClientConnection* c = access_.find(sockets_[player]);
            if (c != nullptr && c->sendOverflow) access_.disconnect(sockets_[player]);
        }
    }

    GameServerTestAccess access_;
    std::array<net::SocketHandle, 2> sockets_{};
};

}  // namespace
}  // namespace karst::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace karst;
    using namespace karst::fuzz;
    InputCursor input({data, size});
    const Setup setup = readSetup(input.byte());
    removeScratchFiles();
    ServerSettings settings = fuzzSettings();
    settings.maxPlayersPerRoom = setup.roomCapacity;
    settings.minimumReady = setup.minimumReady;
    GameServer server(settings);
    {
        StreamSession session(server, setup);
        while (!input.empty()) {
            const uint8_t control = input.byte();
            session.step(control, input.bytes(frameChunkSize(input.rest())), setup.chunkSize);
        }
        session.finish();
    }
    return 0;
}
