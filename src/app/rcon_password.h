// The remote console's password: the first line of the file [rcon]
// passwordfile names, read once by the settings phase. Its text is never
// printed; the lines here name the file only.
#pragma once

#include <cstddef>

#include "app/settings.h"

namespace karst {

inline constexpr size_t kMinRconPasswordLength = 12;

// With RCON on, fills settings.rconPassword, or stops the phase with
// kExitSettingsError and a line naming the reason; warns when the file is
// readable by group or others. Does nothing with RCON off.
void loadRconPassword(SettingsPhase& phase);

}  // namespace karst
