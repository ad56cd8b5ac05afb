// The soak's loop: every player and intruder driven from one thread through
// one poll over all their sockets.
//
// A pass lets every actor send what is due (sends are written at once where
// the socket takes them), polls for at most a few milliseconds, then serves
// what poll reported. After the playing time the players finish the change
// they are in (at most kWindDownNs) and leave; what the intruders could not
// show by then is counted as unverified.
#pragma once

#include "soak/soak_check.h"
#include "soak/soak_intruders.h"
#include "soak/soak_player.h"
#include "soak/soak_world.h"

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace karst::soak {

inline constexpr uint64_t kWindDownNs = 5 * kSecond;

class SoakEngine {
public:
    explicit SoakEngine(SoakWorld& world);

    // Plays for the options' duration, calling `everySecond` once a second;
    // `stop`, when set, cuts the playing time short.
    void run(const std::function<void(uint64_t)>& everySecond, const std::atomic<bool>* stop);

    uint32_t playersOnline() const;
    std::vector<PlayerExpectation> expectations() const;

private:
    struct PollOwner {
        bool intruder = false;
        uint32_t index = 0;
    };

    void pass(int waitMs);
    void tickPlayers(uint64_t now);
    void servePlayer(SoakPlayer& player, uint16_t revents);
    void windDown();

    SoakWorld& world_;
    SoakLayout layout_;
    std::vector<std::unique_ptr<SoakPlayer>> players_;
    Intruders intruders_;
    std::vector<uint8_t> scratch_;
    std::vector<net::PollEntry> entries_;
    std::vector<PollOwner> owners_;
    std::vector<uint32_t> intruderIndices_;
};

}  // namespace karst::soak
