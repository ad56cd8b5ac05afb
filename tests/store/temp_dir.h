// The store tests' way to the shared temporary-directory and whole-file helpers.
#pragma once

#include "support/temp_dir.h"
