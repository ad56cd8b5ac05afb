// The loopback player helpers now live in support/players.h; this name stays
// for the tests that still include it.
#pragma once

#include "support/players.h"
