// Kept so that tests elsewhere which include this name (the UDP tests) still
// build; the loopback player helpers live in support/players.h.
#pragma once

#include "support/players.h"
