// What every actor of a soak shares: the options, the seeded generator, the
// clock, the tallies of the report, and the record of every change the server
// confirmed, which the store check compares with the files at the end.
//
// Times are nanoseconds of the tool's own steady clock since the soak began.
// A change counts as confirmed once the Pong of a Ping sent right after it has
// come back: the server writes its stores before any reply to those frames
// can leave, so a confirmed change must be in the files.
#pragma once

#include "client/messages.h"
#include "common/framed_link.h"
#include "common/latency_histogram.h"
#include "net/socket.h"
#include "soak/soak_options.h"

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace karst::soak {

// The soak is a client: it speaks in the client's terms.
using client::derivePiboId;
using client::kFrameHeaderSize;
using client::kLocalSlotCount;
using client::kMaxPayloadLength;
using client::kNoRoom;
using client::kPiboStageHatched;
using client::kPiboTypeOffset;
using client::kPingSize;
using client::kProtocolVersion;
using client::kRingCap;
using client::kWelcomeSize;
using client::MessageType;
using client::ProfileKey;
using client::RoomKey;

inline constexpr uint64_t kMs = 1'000'000;
inline constexpr uint64_t kSecond = 1'000'000'000;

// Our own connections never let more than this wait unsent: a server that stops
// reading them is a failure to report, not a reason to grow without bound.
inline constexpr size_t kMaxQueuedBytes = 1 << 20;
// Enough reads per call to drain a busy room's traffic, few enough to stay
// fair to the other links of the pass.
inline constexpr int kMaxReadsPerCall = 8;

struct SoakStats {
    // The players' own frames; intruders are counted apart.
    uint64_t framesSent = 0;
    uint64_t framesReceived = 0;
    uint64_t bytesReceived = 0;
    uint64_t sessions = 0;
    uint64_t abruptDisconnects = 0;
    uint64_t handshakeRetries = 0;
    uint64_t playersClosedByServer = 0;
    uint64_t purchases = 0;
    uint64_t stageFinishes = 0;
    uint64_t chats = 0;
    uint64_t moves = 0;
    uint64_t piboRegistered = 0;
    uint64_t breeds = 0;
    uint64_t breedRefusals = 0;
    uint64_t eggsClaimed = 0;
    uint64_t pingsAnswered = 0;
    uint64_t pingsLate = 0;
    tools::LatencyHistogram pingLatency;
    uint64_t malformedSent = 0;
    uint64_t malformedClosed = 0;
    uint64_t malformedUnverified = 0;
    uint64_t slowReaders = 0;
    uint64_t slowReaderFramesSent = 0;
    uint64_t slowReaderBytesRead = 0;
    uint64_t slowReadersClosed = 0;
    uint64_t slowReadersClosedWhileSending = 0;
    uint64_t slowReadersUnverified = 0;
    uint64_t silentOpened = 0;
    uint64_t silentClosed = 0;
    uint64_t silentUnverified = 0;
    uint64_t silentLongestNs = 0;
    uint64_t silentShortestNs = UINT64_MAX;
};

// The last confirmed state of one profile, as the store must hold it.
struct ProfileExpectation {
    bool known = false;      // a Welcome has told us the balance
    bool uncertain = false;  // a change was in flight when the connection ended
    uint32_t rings = 0;
    uint16_t fruit = 0;      // of the fruit the players buy, since the first Welcome
};

struct EggExpectation {
    ProfileKey owner{};
    uint64_t parentA = 0;
    uint64_t parentB = 0;
    int claimedSlot = -1;  // set once a claim is confirmed
};

class SoakWorld {
public:
    SoakWorld(const SoakOptions& options, net::ResolvedAddress server);

    const SoakOptions& options() const { return options_; }
    const net::ResolvedAddress& server() const { return server_; }
    uint64_t now() const;
    std::mt19937_64& random() { return random_; }
    uint64_t between(uint64_t low, uint64_t high);  // inclusive
    bool chance(double p);

    SoakStats& stats() { return stats_; }
    const SoakStats& stats() const { return stats_; }
    void error(const std::string& text);
    uint64_t errorCount() const { return errorCount_; }
    const std::vector<std::string>& firstErrors() const { return firstErrors_; }

    // When set, players finish what they are doing and start nothing new.
    bool windingDown() const { return windingDown_; }
    void windDown() { windingDown_ = true; }

    std::map<uint64_t, EggExpectation>& eggs() { return eggs_; }
    const std::map<uint64_t, EggExpectation>& eggs() const { return eggs_; }
    std::map<uint64_t, ProfileKey>& registeredPibo() { return registeredPibo_; }
    const std::map<uint64_t, ProfileKey>& registeredPibo() const { return registeredPibo_; }
    std::vector<bool>& pairBred() { return pairBred_; }

private:
    SoakOptions options_;
    net::ResolvedAddress server_;
    uint64_t startNs_;
    std::mt19937_64 random_;
    SoakStats stats_;
    uint64_t errorCount_ = 0;
    std::vector<std::string> firstErrors_;
    bool windingDown_ = false;
    std::map<uint64_t, EggExpectation> eggs_;
    std::map<uint64_t, ProfileKey> registeredPibo_;
    std::vector<bool> pairBred_;
};

// The identity of soak player `index` under `seed`: never all zero, distinct
// from every other player's and from seeded profiles (whose first byte is 0x5E).
ProfileKey soakPlayerKey(uint64_t seed, uint32_t index);

}  // namespace karst::soak
