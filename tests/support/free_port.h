// Ports for tests that start the built program, which cannot be asked which
// port the system chose for it.
#pragma once

#include <cstdint>

namespace karst::testing {

// A loopback TCP port nothing listens on right now; the server binds it a moment later.
uint16_t freeLoopbackPort();

}  // namespace karst::testing
