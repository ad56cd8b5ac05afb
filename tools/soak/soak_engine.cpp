#include "soak/soak_engine.h"

namespace karst::soak {

namespace {

// Short enough that movement and pings leave on time, long enough not to spin.
constexpr int kPollWaitMs = 2;
constexpr uint16_t kPollFailure = net::kPollError | net::kPollHangUp | net::kPollInvalid;

}  // namespace

SoakEngine::SoakEngine(SoakWorld& world)
    : world_(world), layout_(world.options().players), intruders_(world), scratch_(tools::kReadScratchSize) {
    world_.pairBred().assign(layout_.gardenPairs, false);
    players_.reserve(layout_.players);
    for (uint32_t i = 0; i < layout_.players; ++i)
        players_.push_back(std::make_unique<SoakPlayer>(i, world_, layout_));
}

void SoakEngine::run(const std::function<void(uint64_t)>& everySecond,
                     const std::atomic<bool>* stop) {
    const uint64_t endNs = world_.now() + uint64_t{world_.options().durationSeconds} * kSecond;
    uint64_t nextSecondNs = kSecond;
    for (;;) {
        const uint64_t now = world_.now();
        if (now >= endNs || (stop != nullptr && stop->load())) break;
        tickPlayers(now);
        intruders_.tick(now, endNs);
        pass(kPollWaitMs);
        intruders_.compact();
        if (now >= nextSecondNs) {
            everySecond(now);
            nextSecondNs += kSecond;
        }
    }
    windDown();
}

void SoakEngine::windDown() {
    world_.windDown();
    const uint64_t deadline = world_.now() + kWindDownNs;
    for (;;) {
        const uint64_t now = world_.now();
        bool busy = false;
        for (const auto& p : players_) busy = busy || (p->online() && !p->idle());
        if (!busy || now >= deadline) break;
        tickPlayers(now);
        pass(kPollWaitMs);
    }
    for (const auto& p : players_) p->leave();
    intruders_.finish();
}

void SoakEngine::tickPlayers(uint64_t now) {
    for (const auto& p : players_) {
        p->tick(now);
        // Written at once where the socket takes it: queued bytes would only
        // add a pass of delay to every Ping.
        if (p->link().open() && p->link().hasUnsent() && !p->link().flush()) p->onConnectionLost();
    }
}

void SoakEngine::pass(int waitMs) {
    entries_.clear();
    owners_.clear();
    for (uint32_t i = 0; i < players_.size(); ++i) {
        const SoakLink& link = players_[i]->link();
        if (!link.open()) continue;
        const uint16_t events = net::kPollIn | (link.hasUnsent() ? net::kPollOut : 0);
        entries_.push_back(net::PollEntry{link.socket(), events, 0});
        owners_.push_back(PollOwner{OwnerKind::Player, IntruderKind::Malformed, i});
    }
    intruderOwners_.clear();
    intruders_.pollInterest(entries_, intruderOwners_);
    for (const auto& [kind, index] : intruderOwners_)
        owners_.push_back(PollOwner{OwnerKind::Intruder, kind, index});

    if (net::pollSockets(entries_, waitMs) <= 0) return;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const uint16_t revents = entries_[i].revents;
        if (revents == 0) continue;
        const PollOwner& owner = owners_[i];
        if (owner.kind == OwnerKind::Intruder) {
            intruders_.serve(owner.intruder, owner.index, revents);
            continue;
        }
        SoakPlayer& player = *players_[owner.index];
        // A player may have reconnected under a new socket during this pass.
        if (player.link().socket() == entries_[i].socket) servePlayer(player, revents);
    }
}

void SoakEngine::servePlayer(SoakPlayer& player, uint16_t revents) {
    if (revents & net::kPollIn) {
        const tools::ReadOutcome result = player.link().read(scratch_, player, world_.stats().bytesReceived);
        if (result == tools::ReadOutcome::ProtocolFault) world_.error("the server sent a malformed frame");
        if (result != tools::ReadOutcome::Open) {
            player.onConnectionLost();
            return;
        }
    } else if (revents & kPollFailure) {
        player.onConnectionLost();
        return;
    }
    if ((revents & net::kPollOut) && player.link().open() && !player.link().flush())
        player.onConnectionLost();
}

uint32_t SoakEngine::playersOnline() const {
    uint32_t online = 0;
    for (const auto& p : players_) online += p->online() ? 1 : 0;
    return online;
}

std::vector<PlayerExpectation> SoakEngine::expectations() const {
    std::vector<PlayerExpectation> result;
    result.reserve(players_.size());
    for (const auto& p : players_) result.emplace_back(p->key(), p->expectation());
    return result;
}

}  // namespace karst::soak
