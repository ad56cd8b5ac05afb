// The load engine's loop, phases and bot set-up.
//
// The bots' sockets stay watched between passes (write interest only while
// connecting or holding unsent bytes), so a pass costs the ready sockets, not
// every bot: the tool must not be what limits a measurement. One pass waits at
// most until the next thing due and serves every socket reported. Sends are
// made between passes, from the schedules, never from inside a read.
#include "bots/load_engine.h"

#include "bots/bot_identity.h"

#include <algorithm>
#include <thread>

namespace karst::bots {

namespace {

constexpr uint64_t kNsPerMs = 1'000'000;
constexpr uint64_t kNsPerSecond = 1'000'000'000;
constexpr uint64_t kDrainNs = kNsPerSecond;
// Longest single wait: keeps deadlines, the progress line and a stop request prompt.
constexpr uint64_t kMaxWaitNs = 50 * kNsPerMs;
constexpr uint64_t kDeadlineScanNs = 10 * kNsPerMs;

// Rounded down: poll counts whole milliseconds, and waking up to a millisecond
// early (then polling without waiting) keeps sends on time, where rounding up
// would make them up to a millisecond late and uneven.
int waitMs(uint64_t now, uint64_t wakeNs) {
    if (wakeNs <= now) return 0;
    return static_cast<int>(std::min(wakeNs - now, kMaxWaitNs) / kNsPerMs);
}

double seconds(uint64_t ns) { return static_cast<double>(ns) / 1e9; }

}  // namespace

LoadSummary runLoad(const BotOptions& options, std::ostream* progress,
                    const std::atomic<bool>* stop) {
    LoadEngine engine(options, progress, stop);
    return engine.run();
}

LoadEngine::LoadEngine(const BotOptions& options, std::ostream* progress,
                       const std::atomic<bool>* stop)
    : options_(options),
      progress_(progress),
      stop_(stop),
      start_(std::chrono::steady_clock::now()) {
    net::startSocketLibrary();
    poller_.open(net::Poller::Kind::Readiness);
    summary_.options = options;
    bots_.resize(options.bots);
    for (uint32_t i = 0; i < options.bots; ++i) {
        bots_[i].index = i;
        bots_[i].room = i / options.roomSize;
    }
    botByPlayerId_.reserve(options.bots);
    scratch_.resize(tools::kReadScratchSize);
    roomMembers_.assign((options.bots + options.roomSize - 1) / options.roomSize, 0);
}

LoadEngine::~LoadEngine() {
    for (Bot& bot : bots_) closeBot(bot);
    poller_.close();
    net::stopSocketLibrary();
}

uint64_t LoadEngine::nowNs() const {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now() - start_)
                                     .count());
}

bool LoadEngine::stopRequested() const { return stop_ != nullptr && stop_->load(); }

LoadSummary LoadEngine::run() {
    if (!resolveServer()) {
        summary_.connectFailures = options_.bots;
        summary_.abortReason = "cannot resolve " + options_.host;
        return summary_;
    }
    runSetup();
    if (finishSetup()) {
        if (options_.hold) {
            holdConnections();
        } else {
            runMovement();
            runDrain();
        }
    }
    summary_.runCompleted = summary_.abortReason.empty();
    for (uint32_t b : participants_) summary_.udpBound += bots_[b].udpBound ? 1 : 0;
    for (Bot& bot : bots_) closeBot(bot);
    return summary_;
}

bool LoadEngine::resolveServer() {
    const std::string address = tools::loopbackAddress(options_.host);
    const auto tcp = net::resolveAddresses(address, options_.port, net::SocketType::Stream, false);
    const auto udp =
        net::resolveAddresses(address, options_.port, net::SocketType::Datagram, false);
    if (tcp.empty() || udp.empty()) return false;
    tcpServer_ = tcp.front();
    udpServer_ = udp.front();
    return true;
}

// ---- Phases -----------------------------------------------------------------

void LoadEngine::runSetup() {
    nextProgressNs_ = kNsPerSecond;
    while (settled_ < options_.bots) {
        if (stopRequested()) {
            summary_.abortReason = "interrupted during setup";
            break;
        }
        const uint64_t now = nowNs();
        launchDueBots(now);
        if (now - lastDeadlineScanNs_ >= kDeadlineScanNs) expireSetupDeadlines(now);
        maybeReportProgress(now);
        const uint64_t nextLaunch = launched_ < options_.bots
                                        ? launched_ * kNsPerSecond / options_.connectRate
                                        : now + kMaxWaitNs;
        pass(std::min({nextLaunch, now + kDeadlineScanNs, nextProgressNs_}));
    }
    summary_.setupSeconds = seconds(nowNs());
}

// Counts what setup achieved and decides whether there is anything to run.
bool LoadEngine::finishSetup() {
    for (Bot& bot : bots_) {
        if (bot.phase == BotPhase::Joined) {
            participants_.push_back(bot.index);
            ++roomMembers_[bot.room];
            bot.lastSequenceBySlot.assign(roomCapacity(bot.room), 0);
            continue;
        }
        // Bots still on their way when setup was interrupted count as handshake failures.
        if (bot.failure == SetupFailure::Connect) ++summary_.connectFailures;
        else if (bot.failure == SetupFailure::JoinRefused) ++summary_.joinRefusals;
        else ++summary_.handshakeFailures;
    }
    summary_.botsJoined = static_cast<uint32_t>(participants_.size());
    summary_.rooms = static_cast<uint32_t>(
        std::count_if(roomMembers_.begin(), roomMembers_.end(), [](uint32_t m) { return m > 0; }));
    openParticipants_ = summary_.botsJoined;
    if (!summary_.abortReason.empty()) return false;
    if (participants_.empty()) {
        summary_.abortReason = "no bot entered its room";
        return false;
    }
    return true;
}

void LoadEngine::runMovement() {
    phase_ = RunPhase::Run;
    runStartNs_ = nowNs();
    runEndNs_ = runStartNs_ + options_.durationSeconds * kNsPerSecond;
    windowStartNs_ = runStartNs_ + options_.warmupSeconds * kNsPerSecond;
    windowEndNs_ = runEndNs_;
    const auto count = static_cast<uint32_t>(participants_.size());
    movement_ = CyclicSchedule(count, kNsPerSecond / options_.hz, runStartNs_);
    if (options_.chatPerMinute > 0)
        chat_ = CyclicSchedule(count, 60 * kNsPerSecond / options_.chatPerMinute, runStartNs_);
    if (options_.eventsPerSecond > 0)
        events_ = CyclicSchedule(count, kNsPerSecond / options_.eventsPerSecond, runStartNs_);
    for (;;) {
        const uint64_t now = nowNs();
        if (now >= runEndNs_) break;
        if (stopRequested() || openParticipants_ == 0) {
            summary_.abortReason =
                openParticipants_ == 0 ? "the server closed every connection" : "interrupted";
            windowEndNs_ = now;
            break;
        }
        sendDue(now);
        maybeReportProgress(now);
        const uint64_t nextSend =
            std::min({movement_.nextDueNs(), chat_.nextDueNs(), events_.nextDueNs()});
        pass(std::min({nextSend, runEndNs_, nextProgressNs_}));
    }
    summary_.measuredSeconds =
        windowEndNs_ > windowStartNs_ ? seconds(windowEndNs_ - windowStartNs_) : 0.0;
}

// Waits for the records still in flight, until all expected ones are in or a
// second has passed.
void LoadEngine::runDrain() {
    phase_ = RunPhase::Drain;
    for (uint32_t b : participants_) {
        const Bot& bot = bots_[b];
        summary_.countedRecords += bot.countedInWindow;
        // Every counted record is relayed to each of the sender's room mates.
        summary_.expected += bot.countedInWindow * (roomMembers_[bot.room] - 1);
    }
    const uint64_t drainEnd = nowNs() + kDrainNs;
    for (;;) {
        const uint64_t now = nowNs();
        if (now >= drainEnd || summary_.received >= summary_.expected || openParticipants_ == 0 ||
            stopRequested())
            break;
        maybeReportProgress(now);
        pass(std::min(drainEnd, nextProgressNs_));
    }
}

// ---- One pass -------------------------------------------------------------

void LoadEngine::pass(uint64_t wakeNs) {
    if (poller_.wait(waitMs(nowNs(), wakeNs)) <= 0) return;
    for (const net::ReadyEvent& event : poller_.ready()) {
        Bot& bot = bots_[event.token / 2];
        serve(bot, (event.token & 1) != 0, event.events);
        if (bot.link.open()) watch(bot);
    }
}

void LoadEngine::serve(Bot& bot, bool udp, uint16_t revents) {
    if (udp) {
        if (bot.udp.valid() && (revents & net::kPollIn)) drainUdp(bot);
        return;
    }
    if (!bot.link.open()) return;  // closed earlier in this pass
    if (bot.phase == BotPhase::Connecting) {
        finishConnect(bot, revents);
        return;
    }
    if (revents & net::kPollIn) readTcp(bot);
    else if (revents & tools::kPollFailure) lose(bot);
    if (bot.link.open() && (revents & net::kPollOut) && !bot.link.flush())
        lose(bot);
}

void LoadEngine::watch(Bot& bot) {
    const uint64_t token = uint64_t{bot.index} * 2;
    if (bot.udp.valid() && !bot.udpWatched)
        bot.udpWatched = poller_.add(bot.udp.get(), net::kPollIn, token + 1);
    if (!bot.link.open()) return;
    const bool connecting = bot.phase == BotPhase::Connecting;
    uint16_t events = connecting ? 0 : net::kPollIn;
    if (connecting || bot.link.hasUnsent()) events |= net::kPollOut;
    if (events == bot.tcpWatch) return;
    if (bot.tcpWatch == kUnwatched) (void)poller_.add(bot.link.socket(), events, token);
    else poller_.modify(bot.link.socket(), events, token);
    bot.tcpWatch = events;
}

void LoadEngine::closeBot(Bot& bot) {
    if (bot.link.open() && bot.tcpWatch != kUnwatched) poller_.remove(bot.link.socket());
    if (bot.udp.valid() && bot.udpWatched) poller_.remove(bot.udp.get());
    bot.tcpWatch = kUnwatched;
    bot.udpWatched = false;
    bot.link.close();
    bot.udp.reset();
}

// Idle players: connected and in their rooms, they neither send nor read until
// the run ends, so each costs the server a connection and nothing more.
void LoadEngine::holdConnections() {
    phase_ = RunPhase::Run;
    for (Bot& bot : bots_)
        if (bot.link.open() && bot.tcpWatch != kUnwatched) {
            poller_.remove(bot.link.socket());
            bot.tcpWatch = kUnwatched;
        }
    const uint64_t end = nowNs() + options_.durationSeconds * kNsPerSecond;
    for (uint64_t now = nowNs(); now < end && !stopRequested(); now = nowNs()) {
        maybeReportProgress(now);
        std::this_thread::sleep_for(std::chrono::nanoseconds(std::min(end - now, kMaxWaitNs)));
    }
    summary_.measuredSeconds = static_cast<double>(options_.durationSeconds);
}

void LoadEngine::maybeReportProgress(uint64_t now) {
    if (now < nextProgressNs_) return;
    nextProgressNs_ = (now / kNsPerSecond + 1) * kNsPerSecond;
    if (progress_ != nullptr) {
        ProgressSample sample;
        sample.elapsedSeconds = seconds(now);
        sample.phase = phaseName(now);
        sample.connectedBots = connected_;
        sample.totalBots = options_.bots;
        sample.sentLastSecond = sentThisSecond_;
        sample.deliveredLastSecond = deliveredThisSecond_;
        sample.p99Ns = summary_.latency.count() > 0 ? summary_.latency.percentile(99) : 0;
        *progress_ << formatProgressLine(sample) << std::endl;
    }
    sentThisSecond_ = 0;
    deliveredThisSecond_ = 0;
}

const char* LoadEngine::phaseName(uint64_t now) const {
    switch (phase_) {
        case RunPhase::Setup: return "setup";
        case RunPhase::Run: return now < windowStartNs_ ? "warmup" : "run";
        case RunPhase::Drain: return "drain";
    }
    return "";
}

// ---- Setup --------------------------------------------------------------------

void LoadEngine::launchDueBots(uint64_t now) {
    while (launched_ < options_.bots && launched_ * kNsPerSecond / options_.connectRate <= now)
        launch(bots_[launched_++], now);
}

void LoadEngine::launch(Bot& bot, uint64_t now) {
    bot.setupDeadlineNs = now + options_.setupTimeoutSeconds * kNsPerSecond;
    tools::OwnedSocket s = tools::openNonBlocking(tcpServer_);
    if (!s.valid()) return settle(bot, BotPhase::Failed, SetupFailure::Connect);
    net::setNoDelay(s.get());
    bot.link.adopt(s.release());
    bot.phase = BotPhase::Connecting;
    // A non-blocking connect usually reports "in progress"; the poller then
    // tells writable (done) or error/hang-up (refused).
    if (net::connectSocket(bot.link.socket(), tcpServer_.address)) onConnected(bot);
    if (bot.link.open()) watch(bot);
}

void LoadEngine::finishConnect(Bot& bot, uint16_t revents) {
    if (revents & tools::kPollFailure) {
        closeBot(bot);
        settle(bot, BotPhase::Failed, SetupFailure::Connect);
    } else if (revents & net::kPollOut) {
        onConnected(bot);
    }
}

void LoadEngine::onConnected(Bot& bot) {
    ++connected_;
    bot.phase = BotPhase::AwaitWelcome;
    client::Hello hello;
    hello.name = "bot" + std::to_string(bot.index);
    hello.character = botCharacter(options_.level);
    hello.colour = {static_cast<uint8_t>(bot.index * 37), static_cast<uint8_t>(bot.index * 101),
                    200};
    hello.profileKey = botProfileKey(options_.seed, bot.index);
    if (sendFrame(bot.link, MessageType::Hello, client::encodeHello(hello)) != SendOutcome::Sent)
        lose(bot);
}

void LoadEngine::expireSetupDeadlines(uint64_t now) {
    lastDeadlineScanNs_ = now;
    for (uint32_t i = 0; i < launched_; ++i) {
        Bot& bot = bots_[i];
        const bool waiting = bot.phase == BotPhase::Connecting ||
                             bot.phase == BotPhase::AwaitWelcome ||
                             bot.phase == BotPhase::AwaitRoom;
        if (waiting && now >= bot.setupDeadlineNs) lose(bot);
    }
}

// Moves a bot out of setup for good: joined, or failed for the given reason.
void LoadEngine::settle(Bot& bot, BotPhase phase, SetupFailure failure) {
    bot.phase = phase;
    bot.failure = failure;
    ++settled_;
}

// The connection is gone (closed by the server, failed, or timed out).
void LoadEngine::lose(Bot& bot) {
    const BotPhase was = bot.phase;
    if (bot.link.open() && was != BotPhase::Connecting) --connected_;
    closeBot(bot);
    switch (was) {
        case BotPhase::Connecting: settle(bot, BotPhase::Failed, SetupFailure::Connect); break;
        case BotPhase::AwaitWelcome:
        case BotPhase::AwaitRoom: settle(bot, BotPhase::Failed, SetupFailure::Handshake); break;
        case BotPhase::Joined:
            bot.phase = BotPhase::Failed;
            if (phase_ == RunPhase::Setup) {
                bot.failure = SetupFailure::Handshake;  // already settled when it joined
            } else {
                ++summary_.closedDuringRun;
                --openParticipants_;
            }
            break;
        case BotPhase::Waiting:
        case BotPhase::Failed: break;
    }
}

uint32_t LoadEngine::roomCapacity(uint32_t room) const {
    return std::min(options_.roomSize, options_.bots - roomFirstBot(room));
}

}  // namespace karst::bots
