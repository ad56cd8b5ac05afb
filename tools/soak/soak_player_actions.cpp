// A soak player's activities and the changes it asks the server for, with
// the checks of every answer against what the player expects.
#include "soak/soak_player.h"

#include <algorithm>
#include <string>

namespace karst::soak {

namespace {

constexpr int8_t kFruit = 24;  // the cheapest fruit, so balances last
constexpr uint32_t kFruitPrice = 10;
constexpr uint64_t kMoveIntervalNs = 100 * kMs;
constexpr uint64_t kPiboStateIntervalNs = 100 * kMs;
constexpr uint64_t kBreedRetryNs = 2 * kSecond;
constexpr float kRoamLimit = 500.0f;
// Partners stand this far either side of their garden's spot: 4 units apart,
// well inside breeding distance.
constexpr float kPartnerOffset = 2.0f;
constexpr uint8_t kHatchedTypeBase = 2;
constexpr uint8_t kClaimSlots = kLocalSlotCount - 1;  // slot 0 holds the registered Pibo

uint32_t finishReward(uint32_t place) {
    return place == 1 ? 100 : place == 2 ? 60 : place == 3 ? 30 : 10;
}

}  // namespace

void SoakPlayer::act(uint64_t now) {
    if (now >= nextPingNs_) {
        sendPing(false);
        nextPingNs_ = now + kSecond;
    }
    if (room_.inRoom()) {
        if (now >= nextMoveNs_) sendMovement(now);
        if (now >= nextChatNs_) sendChat(now);
        if (piboPresent_ && now >= nextPiboStateNs_) sendPiboState(now);
    }
    if (idle() && !world_.windingDown() && now >= nextActionNs_) nextStep(now);
}

void SoakPlayer::nextStep(uint64_t now) {
    if (!eggsToClaim_.empty()) return claimEgg();
    if (now >= activityEndNs_) return startActivity(now);
    const uint64_t interval = uint64_t{world_.options().changeIntervalMs} * kMs;
    nextActionNs_ = now + world_.between(interval / 2, interval + interval / 2);
    switch (activity_) {
        case Activity::Hub:
            if (expected_.rings >= kFruitPrice && world_.chance(0.6)) buyFruit();
            return;
        case Activity::Stage:
            if (!stageDone_) finishStage();
            return;
        case Activity::Garden:
            if (!registerTried_) return registerPibo();
            if (piboPresent_ && (index_ % 2 == 0) && !world_.pairBred()[index_ / 2] &&
                partnerStateSeen_ && piboStatesSent_ >= 2 && now >= nextBreedNs_)
                breed();
            else
                nextActionNs_ = now + 200 * kMs;
            return;
    }
}

void SoakPlayer::startActivity(uint64_t now) {
    const Activity previous = activity_;
    const double roll = std::uniform_real_distribution<double>(0, 1)(world_.random());
    Activity next;
    if (layout_.gardener(index_))
        next = roll < 0.5 ? Activity::Garden : roll < 0.8 ? Activity::Hub : Activity::Stage;
    else
        next = roll < 0.6 ? Activity::Hub : Activity::Stage;
    // Joining the stage room it is already in would change nothing, and a
    // finished run there would ignore the next finish.
    if (next == Activity::Stage && previous == Activity::Stage && room_.inRoom()) next = Activity::Hub;
    activity_ = next;
    stageDone_ = false;
    registerTried_ = false;
    switch (next) {
        case Activity::Hub:
            activityEndNs_ = now + world_.between(3 * kSecond, 8 * kSecond);
            return joinRoom(layout_.hub(index_));
        case Activity::Stage:
            activityEndNs_ = now + world_.between(2 * kSecond, 5 * kSecond);
            return joinRoom(layout_.stage(index_));
        case Activity::Garden:
            activityEndNs_ = now + world_.between(6 * kSecond, 12 * kSecond);
            return joinRoom(layout_.garden(index_));
    }
}

void SoakPlayer::begin(Request request) {
    request_ = request;
    replySeen_ = false;
    refused_ = false;
    sendPing(true);
}

void SoakPlayer::complete(uint64_t now) {
    const Request request = request_;
    request_ = Request::None;
    // A room change or a registration is followed by the activity's next step at once.
    if (request == Request::Join || request == Request::Register) nextActionNs_ = now;
    switch (request) {
        case Request::None: break;
        case Request::Join:
            if (refused_) error("JoinRoom was refused");
            break;
        case Request::Buy:
            if (!replySeen_) error("no BuyFruitResult before the Pong");
            break;
        case Request::Finish:
            if (!replySeen_) error("no StageFinishedResult before the Pong");
            break;
        case Request::Register:
            if (!replySeen_ || refused_) {
                error("PiboRegister was not answered by its PiboAppear");
                break;
            }
            piboPresent_ = true;
            piboStatesSent_ = 0;
            nextPiboStateNs_ = now;
            world_.registeredPibo()[ownPiboId_] = key_;
            ++world_.stats().piboRegistered;
            break;
        case Request::Breed:
            if (replySeen_) {
                ++world_.stats().breeds;
            } else if (refused_) {
                ++world_.stats().breedRefusals;
                nextBreedNs_ = now + kBreedRetryNs;
            } else {
                error("PiboBreed got neither PiboBred nor a refusal");
            }
            break;
        case Request::Claim: {
            auto egg = world_.eggs().find(claimingEgg_);
            if (egg != world_.eggs().end()) egg->second.claimedSlot = claimSlot_;
            ++world_.stats().eggsClaimed;
            ++claims_;
            claimingEgg_ = 0;
            break;
        }
    }
}

void SoakPlayer::joinRoom(const RoomKey& room) {
    if (!(room == room_)) {
        // Leaving a garden takes the registered Pibo out of it.
        piboPresent_ = false;
        partnerStateSeen_ = false;
    }
    send(MessageType::JoinRoom, client::encodeJoinRoom(room));
    room_ = room;
    begin(Request::Join);
}

void SoakPlayer::buyFruit() {
    send(MessageType::BuyFruit, client::encodeBuyFruit(kFruit));
    begin(Request::Buy);
}

void SoakPlayer::finishStage() {
    client::StageFinished finish;
    finish.room = room_;
    finish.result = index_;
    send(MessageType::StageFinished, client::encodeStageFinished(finish));
    stageDone_ = true;
    begin(Request::Finish);
}

void SoakPlayer::registerPibo() {
    client::PiboRegister reg;
    reg.id = ownPiboId_;
    reg.room = room_;
    reg.localSlot = 0;
    reg.stage = kPiboStageHatched;
    reg.name = "Soak " + std::to_string(index_);
    reg.data[kPiboTypeOffset] = static_cast<uint8_t>(kHatchedTypeBase + index_ % 20);
    for (size_t i = 1080; i < 1244; ++i) reg.data[i] = static_cast<uint8_t>(index_ + i);
    send(MessageType::PiboRegister, client::encodePiboRegister(reg));
    registerTried_ = true;
    begin(Request::Register);
}

void SoakPlayer::breed() {
    client::PiboBreed request{ownPiboId_, partnerPiboId_};
    send(MessageType::PiboBreed, client::encodePiboBreed(request));
    begin(Request::Breed);
}

void SoakPlayer::claimEgg() {
    claimingEgg_ = eggsToClaim_.back();
    eggsToClaim_.pop_back();
    claimSlot_ = static_cast<uint8_t>(1 + claims_ % kClaimSlots);
    send(MessageType::PiboClaim, client::encodePiboClaim(client::PiboClaim{claimingEgg_, claimSlot_, 1}));
    begin(Request::Claim);
}

void SoakPlayer::sendMovement(uint64_t now) {
    std::uniform_real_distribution<float> step(-2.0f, 2.0f);
    x_ = std::clamp(x_ + step(world_.random()), -kRoamLimit, kRoamLimit);
    z_ = std::clamp(z_ + step(world_.random()), -kRoamLimit, kRoamLimit);
    client::PlayerStateRecord record;
    record.room = room_;
    record.position = {x_, 0.0f, z_};
    record.velocity = {1.0f, 0.0f, -1.0f};
    record.timeMs = static_cast<uint32_t>(now / kMs);
    if (send(MessageType::PlayerState, client::encodePlayerState(record))) ++world_.stats().moves;
    nextMoveNs_ = now + kMoveIntervalNs;
}

void SoakPlayer::sendChat(uint64_t now) {
    client::ChatText chat;
    chat.text = "soak player " + std::to_string(index_) + " line " + std::to_string(++chatCount_);
    if (send(MessageType::ChatText, client::encodeChatText(chat))) ++world_.stats().chats;
    nextChatNs_ = now + world_.between(4 * kSecond, 10 * kSecond);
}

void SoakPlayer::sendPiboState(uint64_t now) {
    client::PiboState state;
    state.id = ownPiboId_;
    state.room = room_;
    const float side = index_ % 2 == 0 ? -kPartnerOffset : kPartnerOffset;
    state.position = {100.0f + side, 0.0f, 100.0f};
    if (send(MessageType::PiboState, client::encodePiboState(state))) ++piboStatesSent_;
    nextPiboStateNs_ = now + kPiboStateIntervalNs;
}

void SoakPlayer::onBuyFruitResult(std::span<const uint8_t> payload) {
    const auto result = client::decodeBuyFruitResult(payload);
    if (!result || request_ != Request::Buy) return error("unexpected BuyFruitResult");
    replySeen_ = true;
    if (!result->bought) return error("a purchase it could afford was refused");
    if (result->price != kFruitPrice || result->rings + kFruitPrice != expected_.rings)
        error("a purchase left " + std::to_string(result->rings) + " rings, expected " +
              std::to_string(expected_.rings - kFruitPrice));
    expected_.rings = result->rings;
    ++expected_.fruit;
    ++world_.stats().purchases;
}

void SoakPlayer::onStageFinishedResult(std::span<const uint8_t> payload) {
    const auto result = client::decodeStageFinishedResult(payload);
    if (!result || result->playerId != playerId_) return;  // another finisher
    if (request_ != Request::Finish) return error("unexpected StageFinishedResult");
    replySeen_ = true;
    const uint32_t expectedRings = std::min(expected_.rings + result->ringsAwarded, kRingCap);
    if (result->ringsAwarded != finishReward(result->place) || result->rings != expectedRings)
        error("place " + std::to_string(result->place) + " paid " +
              std::to_string(result->ringsAwarded) + " for a balance of " +
              std::to_string(result->rings));
    expected_.rings = result->rings;
    ++world_.stats().stageFinishes;
}

void SoakPlayer::onPiboAppear(std::span<const uint8_t> payload) {
    const auto appear = client::decodePiboAppear(payload);
    if (appear && request_ == Request::Register && appear->id == ownPiboId_ &&
        appear->holderPlayerId == playerId_)
        replySeen_ = true;
}

void SoakPlayer::onPiboState(std::span<const uint8_t> payload) {
    const auto state = client::decodePiboState(payload);
    if (!state) return;
    if (state->id == partnerPiboId_ && piboPresent_) partnerStateSeen_ = true;
    if (state->id == ownPiboId_ && state->playerId == playerId_)
        error("its own Pibo state came back");
}

void SoakPlayer::onPiboBred(std::span<const uint8_t> payload) {
    const auto bred = client::decodePiboBred(payload);
    if (!bred || request_ != Request::Breed || bred->firstId != ownPiboId_) return;
    replySeen_ = true;
    world_.eggs()[bred->firstEggId] = EggExpectation{key_, bred->firstId, bred->secondId, -1};
    world_.eggs()[bred->secondEggId] = EggExpectation{partnerKey_, bred->firstId, bred->secondId, -1};
    world_.pairBred()[index_ / 2] = true;
}

void SoakPlayer::onPiboDelivery(std::span<const uint8_t> payload) {
    const auto delivery = client::decodePiboDelivery(payload);
    if (!delivery) return;
    const auto egg = world_.eggs().find(delivery->id);
    if (egg != world_.eggs().end() && egg->second.claimedSlot >= 0)
        error("a claimed egg was delivered again");
    if (delivery->id != claimingEgg_ &&
        std::find(eggsToClaim_.begin(), eggsToClaim_.end(), delivery->id) == eggsToClaim_.end())
        eggsToClaim_.push_back(delivery->id);
}

void SoakPlayer::onNotice(std::span<const uint8_t> payload) {
    const auto notice = client::decodeNotice(payload);
    if (!notice) return;
    if (request_ == Request::Breed && notice->code == 8) {
        refused_ = true;
        return;
    }
    if (request_ == Request::Join || request_ == Request::Register) refused_ = true;
    error("Notice " + std::to_string(notice->code) + " \"" + notice->text + "\"");
}

}  // namespace karst::soak
