// Standard input as the operator's command channel, read by the event loop
// without ever waiting on it.
//
// On POSIX standard input joins the poll set and is read only when poll reports
// it readable, so one read never blocks and the descriptor (often a terminal the
// shell shares) keeps its blocking mode. Windows cannot poll a console, a pipe and
// sockets at once, so there a reader thread collects the bytes and the loop takes
// them every pass. One implementation per platform: console_input_posix.cpp or
// console_input_win32.cpp.
#pragma once

#include <cstdint>
#include <span>

#include "net/socket.h"

namespace karst::net {

// Starts reading standard input; false when there is none to read.
bool openConsoleInput();

// The handle to add to the poll set, or kInvalidSocket where the loop must call
// readConsoleInput every pass instead.
SocketHandle consoleInputPollHandle();

// Takes the bytes available now: Ok with bytes, WouldBlock when nothing waits,
// Closed at end of input, Failed when standard input cannot be read.
IoResult readConsoleInput(std::span<uint8_t> buffer);

}  // namespace karst::net
