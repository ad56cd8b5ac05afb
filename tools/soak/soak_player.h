// A well-behaved soak player: connects, says Hello, then moves from activity
// to activity (a hub where it buys fruit, a stage it finishes, a garden where
// gardeners register and breed Pibo), moving, chatting and pinging throughout,
// and after a while drops its connection without warning and comes back.
//
// At most one change (a room change, a purchase, a finish, a registration, a
// breeding, a claim) is in flight at a time: it is followed by a barrier Ping,
// and its Pong completes it, every reply to the change having come first.
// Sessions end only between changes, so the profile's expected state is always
// exact. Pings carry a u32 tag and come back in order; each answer is timed.
#pragma once

#include "client/messages.h"
#include "soak/soak_world.h"

#include <cstdint>
#include <deque>
#include <vector>

namespace karst::soak {

enum class PlayerPhase : uint8_t { Offline, AwaitWelcome, Active };
enum class Activity : uint8_t { Hub, Stage, Garden };
enum class Request : uint8_t { None, Join, Buy, Finish, Register, Breed, Claim };

// Where the players of a soak play, derived from the player count.
struct SoakLayout {
    uint32_t players = 0;
    uint32_t hubRooms = 1;
    uint32_t stageRooms = 1;
    uint32_t gardenPairs = 0;  // players 2p and 2p + 1 share garden p

    explicit SoakLayout(uint32_t playerCount);
    RoomKey hub(uint32_t player) const;
    RoomKey stage(uint32_t player) const;
    RoomKey garden(uint32_t player) const;
    bool gardener(uint32_t player) const { return player / 2 < gardenPairs; }
};

class SoakPlayer final : public tools::FrameReceiver {
public:
    SoakPlayer(uint32_t index, SoakWorld& world, const SoakLayout& layout);

    // Sends what is due; called every pass.
    void tick(uint64_t now);
    // False once the frame has closed the link.
    bool onFrame(const tools::FrameHeader& header, std::span<const uint8_t> payload) override;
    // The server closed the connection or it failed.
    void onConnectionLost();
    // Ends the session at the end of the soak; an unfinished change makes the
    // profile's expectation uncertain.
    void leave();

    tools::FramedLink& link() { return link_; }
    bool idle() const { return request_ == Request::None; }
    bool online() const { return phase_ != PlayerPhase::Offline; }
    const ProfileKey& key() const { return key_; }
    const ProfileExpectation& expectation() const { return expected_; }

private:
    // ---- session (soak_player.cpp) ----
    void connect(uint64_t now);
    void endSession(uint64_t now);
    void resetSession();
    void onWelcome(std::span<const uint8_t> payload);
    void onPong(std::span<const uint8_t> payload);
    void checkLatePings(uint64_t now);
    bool send(MessageType type, std::span<const uint8_t> payload);
    // Reports an error of this player's, named by its index.
    void error(const std::string& text);
    void sendPing(bool barrier);

    // ---- activities and changes (soak_player_actions.cpp) ----
    void act(uint64_t now);
    void startActivity(uint64_t now);
    void nextStep(uint64_t now);
    void begin(Request request);
    void complete(uint64_t now);
    void joinRoom(const RoomKey& room);
    void buyFruit();
    void finishStage();
    void registerPibo();
    void breed();
    void claimEgg();
    void sendMovement(uint64_t now);
    void sendChat(uint64_t now);
    void sendPiboState(uint64_t now);
    void onBuyFruitResult(std::span<const uint8_t> payload);
    void onStageFinishedResult(std::span<const uint8_t> payload);
    void onPiboAppear(std::span<const uint8_t> payload);
    void onPiboState(std::span<const uint8_t> payload);
    void onPiboBred(std::span<const uint8_t> payload);
    void onPiboDelivery(std::span<const uint8_t> payload);
    void onNotice(std::span<const uint8_t> payload);

    struct PendingPing {
        uint32_t tag = 0;
        uint64_t sentNs = 0;
        bool late = false;
    };

    uint32_t index_;
    SoakWorld& world_;
    const SoakLayout& layout_;
    ProfileKey key_;
    uint64_t ownPiboId_ = 0;
    uint64_t partnerPiboId_ = 0;
    ProfileKey partnerKey_{};
    ProfileExpectation expected_;
    tools::FramedLink link_{kMaxQueuedBytes};

    PlayerPhase phase_ = PlayerPhase::Offline;
    uint32_t playerId_ = 0;
    uint64_t connectAtNs_ = 0;
    uint64_t sessionEndNs_ = 0;
    uint64_t welcomeDeadlineNs_ = 0;
    uint32_t handshakeFailuresInARow_ = 0;

    Activity activity_ = Activity::Hub;
    RoomKey room_;  // the room of the last JoinRoom sent
    uint64_t activityEndNs_ = 0;
    uint64_t nextActionNs_ = 0;
    Request request_ = Request::None;
    uint32_t barrierTag_ = 0;
    bool replySeen_ = false;  // the reply the request expects arrived
    bool refused_ = false;    // a Notice refused it

    uint32_t nextPingTag_ = 1;
    std::deque<PendingPing> pings_;
    uint64_t nextPingNs_ = 0;
    uint64_t nextMoveNs_ = 0;
    uint64_t nextChatNs_ = 0;
    uint64_t nextPiboStateNs_ = 0;
    uint32_t chatCount_ = 0;
    float x_ = 0, z_ = 0;

    bool stageDone_ = false;
    bool registerTried_ = false;
    bool piboPresent_ = false;
    uint32_t piboStatesSent_ = 0;
    bool partnerStateSeen_ = false;
    uint64_t nextBreedNs_ = 0;
    std::vector<uint64_t> eggsToClaim_;
    uint64_t claimingEgg_ = 0;
    uint8_t claimSlot_ = 0;
    uint32_t claims_ = 0;
};

}  // namespace karst::soak
