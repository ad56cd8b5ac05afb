# Cross-compiles for 64-bit Windows from Linux with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64-posix). We use the posix-threads flavour: GCC 12's
# win32 flavour has no std::thread or std::mutex, so any later use of them
# would build on Linux and fail only here.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DKARST_BUILD_TESTS=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KARST_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "Target triplet of the MinGW-w64 tools")

find_program(CMAKE_C_COMPILER NAMES ${KARST_MINGW_PREFIX}-gcc-posix ${KARST_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KARST_MINGW_PREFIX}-g++-posix ${KARST_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KARST_MINGW_PREFIX}-windres)

# Look for libraries and headers only in the target's sysroot, programs only on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KARST_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs under Wine, for try_run and for running them by hand.
find_program(KARST_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(KARST_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KARST_WINE})
endif()
