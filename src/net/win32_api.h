// windows.h for the *_win32.cpp files of the platform layer, without the min and
// max macros that break standard C++ and without its rarely used parts.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
