// A soak player's sessions: connecting, the handshake, pings and their
// timing, the end of a session, and the dispatch of what the server sends.
#include "soak/soak_player.h"

#include "common/wire.h"

#include <algorithm>
#include <string>

namespace karst::soak {

namespace {

constexpr uint64_t kWelcomeTimeoutNs = 5 * kSecond;
constexpr uint32_t kDefaultStartingRings = 1000;
constexpr uint32_t kPlayersPerHub = 20;
constexpr uint32_t kPlayersPerStage = 8;
constexpr uint32_t kMaxGardenPairs = 50;
// One refusal is the server still closing the previous session; three are not.
constexpr uint32_t kMaxHandshakeFailuresInARow = 3;

}  // namespace

SoakLayout::SoakLayout(uint32_t playerCount)
    : players(playerCount),
      hubRooms(std::max(1u, (playerCount + kPlayersPerHub - 1) / kPlayersPerHub)),
      stageRooms(std::max(1u, (playerCount + kPlayersPerStage - 1) / kPlayersPerStage)),
      gardenPairs(std::min({playerCount / 2, std::max(1u, playerCount / 10), kMaxGardenPairs})) {}

// Instance 0 of every level is left to people who join by hand.
RoomKey SoakLayout::hub(uint32_t player) const {
    return RoomKey{0, 0, 0, 1 + player % hubRooms};
}
RoomKey SoakLayout::stage(uint32_t player) const {
    return RoomKey{1, 0, 0, 1 + player % stageRooms};
}
RoomKey SoakLayout::garden(uint32_t player) const { return RoomKey{40, 0, 0, 1 + player / 2}; }

SoakPlayer::SoakPlayer(uint32_t index, SoakWorld& world, const SoakLayout& layout)
    : index_(index), world_(world), layout_(layout), key_(soakPlayerKey(world.options().seed, index)) {
    if (layout.gardener(index)) {
        ownPiboId_ = derivePiboId(key_, 0);
        partnerKey_ = soakPlayerKey(world.options().seed, index ^ 1u);
        partnerPiboId_ = derivePiboId(partnerKey_, 0);
    }
    // Spread the first connections over two seconds rather than one burst.
    connectAtNs_ = world.between(0, 2 * kSecond);
}

void SoakPlayer::tick(uint64_t now) {
    switch (phase_) {
        case PlayerPhase::Offline:
            if (!world_.windingDown() && now >= connectAtNs_) connect(now);
            return;
        case PlayerPhase::AwaitWelcome:
            if (now >= welcomeDeadlineNs_) {
                error("no Welcome within 5 s");
                endSession(now);
            }
            return;
        case PlayerPhase::Active:
            checkLatePings(now);
            if (idle() && !world_.windingDown() && now >= sessionEndNs_) {
                ++world_.stats().abruptDisconnects;
                endSession(now);
                return;
            }
            act(now);
            return;
    }
}

void SoakPlayer::connect(uint64_t now) {
    if (!link_.connect(world_.server())) {
        error("cannot connect");
        connectAtNs_ = now + kSecond;
        return;
    }
    ++world_.stats().sessions;
    client::Hello hello;
    hello.name = "Soak " + std::to_string(index_);
    hello.colour = client::Colour{static_cast<uint8_t>(index_), 128, 200};
    hello.profileKey = key_;
    send(MessageType::Hello, client::encodeHello(hello));
    phase_ = PlayerPhase::AwaitWelcome;
    welcomeDeadlineNs_ = now + kWelcomeTimeoutNs;
}

// Drops the connection with no warning, whatever is still queued or in
// flight on the wire; only ever between changes.
void SoakPlayer::endSession(uint64_t now) {
    link_.close();
    resetSession();
    connectAtNs_ = now + world_.between(300 * kMs, 1500 * kMs);
}

void SoakPlayer::resetSession() {
    phase_ = PlayerPhase::Offline;
    pings_.clear();
    request_ = Request::None;
    room_ = kNoRoom;
    piboPresent_ = false;
    partnerStateSeen_ = false;
    eggsToClaim_.clear();  // delivered again at the next Hello
    claimingEgg_ = 0;
}

void SoakPlayer::onConnectionLost() {
    const uint64_t now = world_.now();
    if (phase_ == PlayerPhase::AwaitWelcome) {
        // The server still held our previous session when Hello arrived (it
        // refuses a second login of one profile): try again a little later.
        ++world_.stats().handshakeRetries;
        if (++handshakeFailuresInARow_ == kMaxHandshakeFailuresInARow)
            error("Hello refused " + std::to_string(kMaxHandshakeFailuresInARow) +
                  " times in a row");
    } else {
        ++world_.stats().playersClosedByServer;
        world_.error("player " + std::to_string(index_) + " was disconnected by the server");
        if (!idle()) expected_.uncertain = true;
    }
    endSession(now);
}

void SoakPlayer::leave() {
    if (!idle()) expected_.uncertain = true;
    link_.close();
    resetSession();
}

void SoakPlayer::error(const std::string& text) {
    world_.error("player " + std::to_string(index_) + ": " + text);
}

bool SoakPlayer::send(MessageType type, std::span<const uint8_t> payload) {
    if (!link_.queueFrame(type, payload)) {
        error("1 MiB unsent, the server stopped reading");
        return false;
    }
    ++world_.stats().framesSent;
    return true;
}

void SoakPlayer::sendPing(bool barrier) {
    const uint32_t tag = nextPingTag_++;
    std::array<uint8_t, kPingSize> bytes{};
    tools::putU32(bytes.data(), tag);
    if (!send(MessageType::Ping, client::encodePing(bytes))) return;
    pings_.push_back(PendingPing{tag, world_.now(), false});
    if (barrier) barrierTag_ = tag;
}

void SoakPlayer::checkLatePings(uint64_t now) {
    if (pings_.empty() || pings_.front().late) return;
    const uint64_t bound = uint64_t{world_.options().pingBoundMs} * kMs;
    if (now - pings_.front().sentNs <= bound) return;
    pings_.front().late = true;
    ++world_.stats().pingsLate;
    error("a Ping went unanswered for " + std::to_string(world_.options().pingBoundMs) + " ms");
}

void SoakPlayer::onPong(std::span<const uint8_t> payload) {
    const auto bytes = client::decodePong(payload);
    if (!bytes) return;
    const uint32_t tag = tools::getU32(bytes->data());
    if (pings_.empty() || pings_.front().tag != tag) {
        error("a Pong out of order");
        return;
    }
    const uint64_t now = world_.now();
    const uint64_t rtt = now - pings_.front().sentNs;
    SoakStats& stats = world_.stats();
    stats.pingLatency.record(rtt);
    ++stats.pingsAnswered;
    if (rtt > uint64_t{world_.options().pingBoundMs} * kMs && !pings_.front().late) {
        ++stats.pingsLate;
        error("a Pong took " + std::to_string(rtt / kMs) + " ms");
    }
    pings_.pop_front();
    if (!idle() && tag == barrierTag_) complete(now);
}

void SoakPlayer::onWelcome(std::span<const uint8_t> payload) {
    const auto welcome = client::decodeWelcome(payload);
    if (!welcome || phase_ != PlayerPhase::AwaitWelcome) {
        error("unexpected Welcome");
        return;
    }
    playerId_ = welcome->playerId;
    handshakeFailuresInARow_ = 0;
    if (!expected_.known) {
        // A server the soak started has never seen this profile.
        if (!world_.options().serverPath.empty() && welcome->rings != kDefaultStartingRings)
            error("a new profile got " + std::to_string(welcome->rings) + " rings");
        expected_.known = true;
    } else if (welcome->rings != expected_.rings) {
        error("Welcome gave " + std::to_string(welcome->rings) +
              " rings, the last confirmed balance was " + std::to_string(expected_.rings));
    }
    expected_.rings = welcome->rings;
    const uint64_t now = world_.now();
    phase_ = PlayerPhase::Active;
    sessionEndNs_ = now + world_.between(8 * kSecond, 25 * kSecond);
    nextPingNs_ = now;
    nextMoveNs_ = now;
    nextChatNs_ = now + world_.between(kSecond, 8 * kSecond);
    activity_ = Activity::Hub;
    activityEndNs_ = 0;
    nextActionNs_ = now;
}

bool SoakPlayer::onFrame(const tools::FrameHeader& header, std::span<const uint8_t> payload) {
    ++world_.stats().framesReceived;
    switch (header.messageType()) {
        case MessageType::Welcome: onWelcome(payload); break;
        case MessageType::Pong: onPong(payload); break;
        case MessageType::BuyFruitResult: onBuyFruitResult(payload); break;
        case MessageType::StageFinishedResult: onStageFinishedResult(payload); break;
        case MessageType::PiboAppear: onPiboAppear(payload); break;
        case MessageType::PiboState: onPiboState(payload); break;
        case MessageType::PiboBred: onPiboBred(payload); break;
        case MessageType::PiboDelivery: onPiboDelivery(payload); break;
        case MessageType::Notice: onNotice(payload); break;
        case MessageType::PiboRelease: {
            const auto release = client::decodePiboRelease(payload);
            if (release && release->id == partnerPiboId_) partnerStateSeen_ = false;
            break;
        }
        case MessageType::PlayerState: {
            const auto record = client::decodePlayerState(payload);
            if (record && record->playerId == playerId_)
                error("its own movement came back");
            break;
        }
        default: break;
    }
    return link_.open();
}

}  // namespace karst::soak
