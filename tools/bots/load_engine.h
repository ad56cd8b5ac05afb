// Inside the load engine: the bots, their life cycle and the engine object that
// owns them. Only bot_engine.cpp and bot_traffic.cpp include this.
//
// Bots live in one vector, indexed by their bot index; a bot's room is
// index / roomSize. Per-bot memory is the link's two buffers (kept at their
// capacity) and one u32 per room mate for the sequence check.
#pragma once

#include "bots/bot_engine.h"
#include "common/framed_link.h"
#include "bots/record_stamp.h"
#include "bots/send_schedule.h"
#include "net/poller.h"
#include "net/socket.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ostream>
#include <unordered_map>
#include <vector>

namespace karst::bots {

using client::kChatTextSize;
using client::kPingSize;
using client::MessageType;

enum class BotPhase : uint8_t { Waiting, Connecting, AwaitWelcome, AwaitRoom, Joined, Failed };
enum class SetupFailure : uint8_t { None, Connect, Handshake, JoinRefused };
enum class RunPhase : uint8_t { Setup, Run, Drain };
enum class SendOutcome { Sent, Dropped, Failed };

// Unsent bytes a bot may hold before it drops what it sends: about 80 movement
// frames, well past anything a server that keeps up leaves unread.
inline constexpr size_t kMaxSendBacklog = 16384;
// Reads per serve of one bot: few, to stay fair to the other bots.
inline constexpr int kMaxReadsPerCall = 4;

inline constexpr uint16_t kUnwatched = 0xFFFF;

// Queues the frame and writes what the socket takes at once.
SendOutcome sendFrame(tools::FramedLink& link, MessageType type, std::span<const uint8_t> payload);

struct Bot {
    uint32_t index = 0;
    uint32_t room = 0;
    BotPhase phase = BotPhase::Waiting;
    SetupFailure failure = SetupFailure::None;
    bool udpBound = false;
    tools::FramedLink link{kMaxSendBacklog};
    tools::OwnedSocket udp;
    uint32_t nextUdpSequence = 1;
    // What the poller watches the TCP socket for; kUnwatched before it is added.
    uint16_t tcpWatch = kUnwatched;
    bool udpWatched = false;
    uint64_t setupDeadlineNs = 0;
    uint32_t playerId = 0;
    uint64_t udpToken = 0;
    uint32_t recordSequence = 0;
    uint32_t chatCount = 0;
    uint32_t eventCount = 0;
    RelayGateTracker gate;
    uint64_t countedInWindow = 0;
    // Last record sequence seen from each room mate, by position in the room.
    std::vector<uint32_t> lastSequenceBySlot;
};

class LoadEngine final : private tools::FrameReceiver {
public:
    LoadEngine(const BotOptions& options, std::ostream* progress, const std::atomic<bool>* stop);
    LoadEngine(const LoadEngine&) = delete;
    LoadEngine& operator=(const LoadEngine&) = delete;
    ~LoadEngine();

    LoadSummary run();

private:

    // ---- the loop (bot_engine.cpp) ----
    uint64_t nowNs() const;
    bool stopRequested() const;
    bool resolveServer();
    void runSetup();
    bool finishSetup();
    void runMovement();
    void runDrain();
    void pass(uint64_t wakeNs);
    void serve(Bot& bot, bool udp, uint16_t revents);
    // Keeps what the poller watches in step with the bot's state: writability
    // only while connecting or holding unsent bytes.
    void watch(Bot& bot);
    void closeBot(Bot& bot);
    void holdConnections();
    void maybeReportProgress(uint64_t now);
    const char* phaseName(uint64_t now) const;

    // ---- setup (bot_engine.cpp) ----
    void launchDueBots(uint64_t now);
    void launch(Bot& bot, uint64_t now);
    void finishConnect(Bot& bot, uint16_t revents);
    void onConnected(Bot& bot);
    void expireSetupDeadlines(uint64_t now);
    void settle(Bot& bot, BotPhase phase, SetupFailure failure);
    void lose(Bot& bot);
    uint32_t roomFirstBot(uint32_t room) const { return room * options_.roomSize; }
    uint32_t roomCapacity(uint32_t room) const;

    // ---- traffic (bot_traffic.cpp) ----
    bool onFrame(const tools::FrameHeader& header, std::span<const uint8_t> payload) override;
    void onWelcome(Bot& bot, std::span<const uint8_t> payload);
    void onJoinAnswered(Bot& bot);
    void onNotice(Bot& bot, std::span<const uint8_t> payload);
    void measure(Bot& receiver, const client::PlayerStateRecord& record);
    void readTcp(Bot& bot);
    void drainUdp(Bot& bot);
    void sendDue(uint64_t now);
    // Sends for every joined participant whose turn has come; returns the
    // slots skipped because this tool fell behind.
    uint64_t serveSchedule(CyclicSchedule& schedule, uint64_t now,
                           void (LoadEngine::*send)(Bot&, uint64_t));
    // True when the frame left; a connection that failed is lost.
    bool sent(Bot& bot, SendOutcome outcome);
    void sendMovement(Bot& bot, uint64_t now);
    SendOutcome sendUdpRecord(Bot& bot, const client::PlayerStateRecord& record);
    void sendChat(Bot& bot, uint64_t now);
    void sendEvent(Bot& bot, uint64_t now);

    BotOptions options_;
    std::ostream* progress_;
    const std::atomic<bool>* stop_;
    std::chrono::steady_clock::time_point start_;
    LoadSummary summary_;

    net::ResolvedAddress tcpServer_;
    net::ResolvedAddress udpServer_;
    std::vector<Bot> bots_;
    std::unordered_map<uint32_t, uint32_t> botByPlayerId_;
    std::vector<uint32_t> participants_;   // bots that joined, in index order
    std::vector<uint32_t> roomMembers_;    // joined bots per room at the run's start
    std::vector<uint8_t> scratch_;
    net::Poller poller_;
    Bot* current_ = nullptr;  // the bot whose frames are being read

    RunPhase phase_ = RunPhase::Setup;
    uint32_t launched_ = 0;
    uint32_t settled_ = 0;
    uint32_t connected_ = 0;
    uint32_t openParticipants_ = 0;
    uint64_t lastDeadlineScanNs_ = 0;
    uint64_t windowStartNs_ = CyclicSchedule::kNever;
    uint64_t windowEndNs_ = 0;
    uint64_t runStartNs_ = 0;
    uint64_t runEndNs_ = 0;
    CyclicSchedule movement_;
    CyclicSchedule chat_;
    CyclicSchedule events_;

    uint64_t nextProgressNs_ = 0;
    uint64_t sentThisSecond_ = 0;
    uint64_t deliveredThisSecond_ = 0;
};

}  // namespace karst::bots
