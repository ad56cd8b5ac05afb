// Hub proxy players: their identities, their motion, what a newcomer to the
// Central Plaza is told about them, and their 50 ms updates to every occupied
// Central Plaza room.
//
// Proxies are not connections and never room members: they take no part in any
// count or rule. Their records are computed from the clock when sent; nothing
// about their motion is stored.
#include <algorithm>
#include <cmath>
#include <string>

#include "app/game_server.h"
#include "game/player_info.h"
#include "net/clock.h"
#include "net/coding.h"

namespace karst {

namespace {

constexpr float kTwoPi = 6.2831855f;
constexpr uint32_t kGridColumns = 3;

static_assert(4 + kRoomKeySize + 6 * 4 + 4 + 4 + 4 == kPlayerStateSize);

}  // namespace

ProxyPlayer makeProxyPlayer(uint32_t index, uint32_t id) {
    ProxyPlayer proxy;
    proxy.id = id;
    const std::string name = "Proxy " + std::to_string(index + 1);
    ByteWriter(proxy.name).text(name, proxy.name.size());
    proxy.character = static_cast<uint8_t>(index % kCharacterCount);
    proxy.colour = kProxyPalette[index % kProxyPaletteSize];
    return proxy;
}

std::array<uint8_t, kPlayerStateSize> computeProxyState(const RoomKey& key, uint32_t index,
                                                        uint32_t count, uint32_t uptimeMs,
                                                        uint32_t stampMs, uint32_t proxyId) {
    const uint32_t n = std::max<uint32_t>(count, 1);
    const uint32_t col = index % kGridColumns;
    const uint32_t row = index / kGridColumns;
    // Every step rounds to single precision on its own (ISO mode allows no fused
    // multiply-add), so every build of the server sends the same motion.
    const float omega = static_cast<float>(col) * 0.035f + 0.22f;
    const float t = static_cast<float>(uptimeMs) / 1000.0f;
    const float phase = static_cast<float>(index) * kTwoPi / static_cast<float>(n);
    const float theta = phase + t * omega;
    const float s = static_cast<float>(std::sin(static_cast<double>(theta)));
    const float c = static_cast<float>(std::cos(static_cast<double>(theta)));

    const float x = static_cast<float>(col * 28 + 84) + 3.0f * s;
    const float z = static_cast<float>(row * 24 + 1440) + 2.0f * c;
    const float vx = 3.0f * c * omega;
    const float vz = -2.0f * s * omega;
    const float heading =
        static_cast<float>(std::atan2(static_cast<double>(vx), static_cast<double>(vz)));
    const auto yaw = static_cast<int32_t>(heading * 65536.0f / kTwoPi);

    std::array<uint8_t, kRoomKeySize> room;
    encodeRoomKey(room.data(), key);
    std::array<uint8_t, kPlayerStateSize> record{};
    ByteWriter w(record);
    w.u32(proxyId).bytes(room.data(), room.size());
    w.f32(x).f32(0.0f).f32(z).f32(vx).f32(0.0f).f32(vz);
    w.i32(yaw).u32(kProxyOpaqueWord).u32(stampMs);
    return record;
}

void GameServer::createProxies() {
    for (uint32_t i = 0; i < settings_.proxyCount; ++i)
        proxies_.push_back(makeProxyPlayer(i, nextPlayerId_++));
}

void GameServer::sendProxiesTo(ClientConnection& connection, const ActiveHubRoom& room) {
    const auto count = static_cast<uint32_t>(proxies_.size());
    for (uint32_t i = 0; i < count; ++i) {
        const ProxyPlayer& proxy = proxies_[i];
        sendMessage(connection, MessageType::PlayerInfo,
                    encodePlayerInfo(proxy.id, proxy.name, proxy.character, proxy.colour, room.key));
        const uint32_t now = uptimeMs();
        sendMessage(connection, MessageType::PlayerState,
                    computeProxyState(room.key, i, count, now, uptimeMs(), proxy.id));
    }
}

void GameServer::tickHubProxies() {
    if (activeHubRooms_.empty()) return;
    const uint64_t now = monotonicNowNs();
    const auto count = static_cast<uint32_t>(proxies_.size());
    for (size_t r = 0; r < activeHubRooms_.size();) {
        ActiveHubRoom& room = activeHubRooms_[r];
        if (roomMembers(room.key).empty()) {
            activeHubRooms_.erase(activeHubRooms_.begin() + static_cast<std::ptrdiff_t>(r));
            continue;
        }
        if (elapsedAtLeast(now, room.lastUpdateNs, kProxyUpdateIntervalNs)) {
            room.lastUpdateNs = now;
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t at = uptimeMs();
                auto record = computeProxyState(room.key, i, count, at, uptimeMs(), proxies_[i].id);
                relayStateToRoom(roomMembers(room.key), record, 0);
            }
        }
        ++r;
    }
}

}  // namespace karst
