#include "hardening/crash_players.h"

#include "client/test_client.h"

#include <algorithm>
#include <chrono>

namespace karst::testing {

namespace {

using client::MessageType;
using client::RoomKey;

// Short waits: the server may die at any moment, and a dead server answers at once.
constexpr int kConnectTimeoutMs = 300;
constexpr int kReplyTimeoutMs = 1000;
constexpr uint32_t kBuysPerSession = 4;
constexpr uint8_t kHatchedType = 2;
constexpr RoomKey kHub{0, 0, 0, 1};

RoomKey gardenFor(uint32_t sessions) { return RoomKey{40, 0, 0, 100 + sessions % 4}; }

// Registers the next local slot's creature; its PiboAppear means the store holds it.
bool registerPibo(client::KarstClient& c, CrashPlayerThread& thread, const ProfileKey& key) {
    const RoomKey garden = gardenFor(thread.sessions);
    if (!c.joinRoom(garden)) return false;
    client::PiboRegister reg;
    reg.localSlot = static_cast<uint8_t>(thread.sessions % client::kLocalSlotCount);
    reg.id = client::derivePiboId(key, reg.localSlot);
    reg.room = garden;
    reg.stage = client::kPiboStageHatched;
    reg.name = "Crash";
    reg.data[client::kPiboTypeOffset] = kHatchedType;
    if (!c.piboRegister(reg)) return false;
    for (;;) {
        const auto frame = c.receiveType(MessageType::PiboAppear, kReplyTimeoutMs);
        if (!frame) return false;
        const auto appear = client::decodePiboAppear(frame->payload);
        if (appear && appear->id == reg.id) break;
    }
    thread.confirmedPibo.push_back(reg.id);
    return true;
}

bool buyFruit(client::KarstClient& c, CrashBuyer& buyer) {
    ++buyer.requestedBuys;
    if (!c.buyFruit(kCrashFruit)) return false;
    const auto frame = c.receiveType(MessageType::BuyFruitResult, kReplyTimeoutMs);
    if (!frame) return false;
    const auto result = client::decodeBuyFruitResult(frame->payload);
    if (!result) return false;
    if (result->bought) buyer.confirmedRings = std::min(buyer.confirmedRings, result->rings);
    return true;
}

// One connection: every step rewrites a store (Hello, the registration, each
// purchase, the disconnect). Any failure just ends the session: the server
// may have been killed under it.
void playSession(CrashPlayerThread& thread, uint16_t port, const std::atomic<bool>& stop) {
    CrashBuyer& buyer = thread.buyers[thread.sessions % thread.buyers.size()];
    client::KarstClient c;
    if (!c.connect(port, "127.0.0.1", kConnectTimeoutMs)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return;
    }
    ++thread.sessions;
    if (!c.hello("Crash buyer", 0, client::Colour{10, 20, 30}, buyer.key) ||
        !c.awaitWelcome(kReplyTimeoutMs))
        return;
    if (thread.gardener && !registerPibo(c, thread, buyer.key)) return;
    if (!c.joinRoom(kHub)) return;
    for (uint32_t i = 0; i < kBuysPerSession && !stop.load(); ++i)
        if (!buyFruit(c, buyer)) return;
}

}  // namespace

ProfileKey crashBuyerKey(uint32_t thread, uint32_t buyer) {
    ProfileKey key{};
    key.fill(0xC7);
    key[1] = static_cast<uint8_t>(thread);
    key[2] = static_cast<uint8_t>(buyer);
    return key;
}

CrashPlayers::CrashPlayers(std::vector<CrashPlayerThread>& threads, uint16_t port) {
    for (CrashPlayerThread& thread : threads)
        running_.emplace_back([this, &thread, port] {
            while (!stop_.load()) playSession(thread, port, stop_);
        });
}

CrashPlayers::~CrashPlayers() {
    stop_.store(true);
    for (std::thread& t : running_)
        if (t.joinable()) t.join();
}

}  // namespace karst::testing
