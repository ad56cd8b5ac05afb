// The load engine: many simulated players driven from one thread through one
// poll loop over all their sockets.
//
// A run has four phases. Setup opens connections at the chosen rate; each bot
// sends Hello, waits for Welcome, sends JoinRoom and a Ping, and waits for the
// room's RoomStatus or the Pong (a Notice first is a refusal). Once every bot has joined or
// failed, the run sends movement at the chosen rate for the chosen time, with
// chat and events alongside when asked. A drain then waits up to one second
// for records still in flight, and the summary is computed.
//
// Every wait is bounded: setup by --setup-timeout per bot, the run by
// --duration, the drain by its second, so a silent or vanished server ends the
// run rather than hanging it. Times are the tool's own steady clock (never the
// server's), in nanoseconds since the engine started.
#pragma once

#include "bots/bot_options.h"
#include "bots/load_report.h"

#include <atomic>
#include <ostream>

namespace karst::bots {

// Runs one load test to completion and returns its figures. Progress lines go
// to `progress` once a second when it is not null; `stop`, when not null and
// set (by a signal handler, say), ends the run early with what was measured.
LoadSummary runLoad(const BotOptions& options, std::ostream* progress,
                    const std::atomic<bool>* stop = nullptr);

}  // namespace karst::bots
