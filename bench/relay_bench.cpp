// The hot path: one PlayerState parsed, gated, stamped and queued to a room, and
// the RoomStatus summary of a large room in a full server.
#include <benchmark/benchmark.h>

#include <array>

#include "app/game_server.h"
#include "net/clock.h"
#include "net/coding.h"
#include "server_access.h"

namespace karst {
namespace {

ServerSettings benchSettings() {
    ServerSettings s;
    s.proxyCount = 0;
    s.metricsPath.clear();
    s.banListPath.clear();
    return s;
}

std::array<uint8_t, kPlayerStateSize> stateRecord(const RoomKey& room) {
    std::array<uint8_t, kPlayerStateSize> record{};
    encodeRoomKey(record.data() + 4, room);
    putF32(record.data() + 12, 10.0f);
    putF32(record.data() + 24, 1.0f);
    return record;
}

void relayToRoom(benchmark::State& state) {
    const size_t roomSize = static_cast<size_t>(state.range(0));
    GameServer server(benchSettings());
    GameServerTestAccess access(server);
    const RoomKey room{0, 0, 0, 1};
    ClientConnection* sender = nullptr;
    for (size_t i = 0; i < roomSize; ++i) sender = &access.addPlayer(room);
    const auto record = stateRecord(room);
    FrameHeader header;
    header.type = static_cast<uint16_t>(MessageType::PlayerState);
    header.payloadLength = kPlayerStateSize;
    size_t sinceDrain = 0;
    for (auto _ : state) {
        // Each record must clear the 15 ms gate, as a real client's would.
        advanceMonotonicClockForTesting(15 * kNsPerMs);
        benchmark::DoNotOptimize(access.dispatch(*sender, header, record));
        // The loop writes every queue each pass; a pass sees a few dozen records.
        if (++sinceDrain == 64) {
            access.drainQueues();
            sinceDrain = 0;
        }
    }
    state.SetItemsProcessed(state.iterations());
    access.forgetConnections();
}
BENCHMARK(relayToRoom)->Arg(32)->Arg(128);

void parseAndGateFrames(benchmark::State& state) {
    GameServer server(benchSettings());
    GameServerTestAccess access(server);
    const RoomKey room{0, 0, 0, 1};
    ClientConnection& sender = access.addPlayer(room);
    // A stream of PlayerState frames in a different room: parsed, gated and
    // dropped by the room check, so only framing and the gate are measured.
    const auto record = stateRecord(RoomKey{0, 0, 0, 2});
    constexpr size_t kFrames = 400;  // 25,600 bytes: under the receive limit
    std::vector<uint8_t> stream;
    uint32_t sequence = 1;
    for (auto _ : state) {
        state.PauseTiming();
        stream.clear();
        for (size_t i = 0; i < kFrames; ++i) {
            std::array<uint8_t, kPlayerStateFrameSize> frame;
            writeFrame(frame.data(), MessageType::PlayerState, record, sequence++);
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
        sender.receiveBuffer = stream;
        state.ResumeTiming();
        benchmark::DoNotOptimize(access.parse(sender));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kFrames));
    access.forgetConnections();
}
BENCHMARK(parseAndGateFrames);

void roomStatusInFullServer(benchmark::State& state) {
    GameServer server(benchSettings());
    GameServerTestAccess access(server);
    const RoomKey big{0, 0, 0, 1};
    for (int i = 0; i < 128; ++i) access.addPlayer(big);
    for (uint32_t i = 0; i < 2048 - 128; ++i) access.addPlayer(RoomKey{0, 0, 0, 100 + i / 32});
    size_t sinceDrain = 0;
    for (auto _ : state) {
        access.broadcastRoomStatus(big);
        if (++sinceDrain == 4096) {
            state.PauseTiming();
            access.drainQueues();
            sinceDrain = 0;
            state.ResumeTiming();
        }
    }
    access.forgetConnections();
}
BENCHMARK(roomStatusInFullServer);

}  // namespace
}  // namespace karst
