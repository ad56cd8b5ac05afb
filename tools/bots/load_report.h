// What a load run found, and how it is shown: the live progress line, the
// closing table and the JSON form of the same figures.
//
// Latencies are kept in nanoseconds and shown in milliseconds with three
// decimals. "Counted" records are those the expected figure is built from:
// sent inside the measured window (after the warm-up) and at least 15 ms after
// the sender's previous counted record.
#pragma once

#include "bots/bot_options.h"
#include "common/latency_histogram.h"

#include <cstdint>
#include <string>

namespace karst::bots {

struct LoadSummary {
    BotOptions options;

    // Setting up: every bot ends in exactly one of these four.
    uint32_t botsJoined = 0;
    uint32_t connectFailures = 0;    // no TCP connection could be opened
    uint32_t handshakeFailures = 0;  // connected, but no Welcome or no room in time, or closed
    uint32_t joinRefusals = 0;       // the server answered JoinRoom with a Notice
    std::string firstRefusal;        // the text of the first such Notice
    uint32_t rooms = 0;
    double setupSeconds = 0;

    // The run.
    double measuredSeconds = 0;
    uint32_t closedDuringRun = 0;
    uint32_t udpBound = 0;
    uint64_t recordsSent = 0;          // every movement record sent, warm-up included
    uint64_t countedRecords = 0;
    uint64_t expected = 0;
    uint64_t received = 0;             // counted records that arrived
    uint64_t delivered = 0;            // every bot record sent in the window that arrived
    uint64_t outOfOrder = 0;           // a sender's sequence that did not increase
    uint64_t misrouted = 0;            // from a bot of another room, or the receiver's own
    uint64_t sendBacklogDrops = 0;     // records not sent: the server was not reading
    uint64_t scheduleSlotsSkipped = 0; // records not sent: this tool fell behind
    uint64_t chatSent = 0;
    uint64_t chatReceived = 0;
    uint64_t eventsSent = 0;
    uint64_t eventsReceived = 0;
    uint64_t noticesReceived = 0;
    tools::LatencyHistogram latency;

    bool runCompleted = false;
    std::string abortReason;  // why the run ended early, when it did
};

uint64_t lostRecords(const LoadSummary& s);
double deliveriesPerSecond(const LoadSummary& s);
// 0 when every bot set up, stayed connected and the run completed; else 1.
int exitCodeFor(const LoadSummary& s);

std::string formatSummaryTable(const LoadSummary& s);
std::string formatSummaryJson(const LoadSummary& s);

struct ProgressSample {
    double elapsedSeconds = 0;
    const char* phase = "";
    uint32_t connectedBots = 0;
    uint32_t totalBots = 0;
    uint64_t sentLastSecond = 0;
    uint64_t deliveredLastSecond = 0;
    uint64_t p99Ns = 0;  // 0: nothing measured yet
};

std::string formatProgressLine(const ProgressSample& p);

}  // namespace karst::bots
