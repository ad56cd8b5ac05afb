// What the fuzz targets share: one scratch directory per process, the layout
// constants the seed generator must agree with, a cursor over the input, and a
// loud stop when an invariant breaks (libFuzzer reports an abort as a crash).
//
// Every target is a separate executable; none of them opens a socket.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "app/settings.h"
#include "game/room_key.h"

namespace karst::fuzz {

// Proxies take the first player ids, so the fake connections the targets add
// first get ids kFirstPlayerId, kFirstPlayerId + 1, ... in the order added.
inline constexpr uint32_t kFuzzProxyCount = 2;
inline constexpr uint32_t kFirstPlayerId = kFuzzProxyCount + 1;

// The UDP target's two authenticated players and the tokens their datagrams carry.
inline constexpr uint64_t kUdpTokenA = 0x1111'2222'3333'4444ull;
inline constexpr uint64_t kUdpTokenB = 0x5555'6666'7777'8888ull;
// Their room (a hub), and the room player A may move to.
inline constexpr RoomKey kUdpRoom{.level = 20, .act = 0, .mission = 0, .instance = 0};
inline constexpr RoomKey kUdpOtherRoom{.level = 20, .act = 1, .mission = 0, .instance = 0};

// Clock steps chosen by three input bits: none, a relay spacing, a tick, and
// steps across the rate windows, countdown seconds and the handshake deadline.
inline constexpr std::array<uint64_t, 8> kClockStepsNs = {
    0, 1'000'000, 16'000'000, 100'000'000, 500'000'000, 1'100'000'000, 3'500'000'000,
    11'000'000'000};
// Past the breeding cooldown, chosen by one input bit.
inline constexpr uint64_t kWallClockStepSeconds = 1801;

// This process's scratch directory, created on first use and removed at exit.
const std::string& scratchDir();
std::string scratchFile(std::string_view name);
void writeWholeFile(const std::string& path, std::span<const uint8_t> bytes);
void removeScratchFiles();

// Settings of a server that only ever lives in memory: files in the scratch
// directory, no metrics file, not listed, few proxies.
ServerSettings fuzzSettings();

// Prints `what` and aborts: the fuzzer keeps the input that got here.
[[noreturn]] void fail(std::string_view what);

// Reads the input front to back; past the end every read gives zeros or nothing.
class InputCursor {
public:
    explicit InputCursor(std::span<const uint8_t> input) : input_(input) {}

    bool empty() const { return pos_ >= input_.size(); }
    size_t remaining() const { return input_.size() - pos_; }
    std::span<const uint8_t> rest() const { return input_.subspan(pos_); }
    uint8_t byte() { return empty() ? 0 : input_[pos_++]; }
    std::span<const uint8_t> bytes(size_t n) {
        const size_t count = n < remaining() ? n : remaining();
        const std::span<const uint8_t> out = input_.subspan(pos_, count);
        pos_ += count;
        return out;
    }

private:
    std::span<const uint8_t> input_;
    size_t pos_ = 0;
};

}  // namespace karst::fuzz
