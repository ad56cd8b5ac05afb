// The tools' answer to Ctrl-C and SIGTERM: the first asks the run to stop and
// report what it has; a second interrupt ends the process the ordinary way.
#pragma once

#include <atomic>

namespace karst::tools {

// Installs the handlers; the flag turns true at the first signal.
const std::atomic<bool>& stopOnInterrupt();
// Asks the run to stop as a signal would (the soak does when its server dies).
void requestStop();

}  // namespace karst::tools
