// Simulated players of the Central Plaza hub: who they are and where they walk.
//
// Proxies circle small ellipses on a grid, driven only by the server clock, so
// every Central Plaza room shows the same proxies at the same places. The motion
// is computed in single precision with sine, cosine and atan2 taken in double
// precision and rounded, so every build of the server produces the same records.
#pragma once

#include "game/catalogue.h"

#include <array>
#include <cstdint>
#include <vector>

#include "game/room_key.h"
#include "net/clock.h"
#include "net/protocol.h"

namespace karst {

struct ProxyPlayer {
    uint32_t id = 0;
    PlayerName name{};
    uint8_t character = 0;
    Colour colour{};
};

inline constexpr size_t kProxyPaletteSize = 8;
inline constexpr std::array<Colour, kProxyPaletteSize> kProxyPalette{{
    {235, 70, 70},
    {70, 190, 255},
    {255, 190, 55},
    {120, 225, 100},
    {210, 95, 245},
    {255, 115, 190},
    {75, 225, 205},
    {235, 235, 235},
}};

// Each occupied Central Plaza room gets its proxies' records this often; a room
// newly occupied is stamped this long ago, so its first round goes out at once.
inline constexpr uint64_t kProxyUpdateIntervalNs = 50 * kNsPerMs;

// The opaque word of every proxy record.
inline constexpr uint32_t kProxyOpaqueWord = 65536;

// The proxy of index `index` (0-based) with the given player id: "Proxy <index+1>",
// character index mod kCharacterCount, colour from the palette in turn.
ProxyPlayer makeProxyPlayer(uint32_t index, uint32_t id);

// The 48-byte PlayerStateRecord of proxy `index` of `count`, at server time
// `uptimeMs`, in the room `key`; `stampMs` is written as the record's time stamp.
std::array<uint8_t, kPlayerStateSize> computeProxyState(const RoomKey& key, uint32_t index,
                                                        uint32_t count, uint32_t uptimeMs,
                                                        uint32_t stampMs, uint32_t proxyId);

}  // namespace karst
