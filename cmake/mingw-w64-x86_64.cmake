# SPDX-License-Identifier: Apache-2.0
# Cross-compiles for 64-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-x86-64-posix, the
# flavour with POSIX threads, which std::thread and GoogleTest expect) and runs what it builds under
# Wine (Debian's wine64). Used by the preset `windows`.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TORVANE_MINGW_TRIPLET x86_64-w64-mingw32)
# GoogleTest's own project enables C as well, so both compilers are named.
set(CMAKE_C_COMPILER ${TORVANE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TORVANE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TORVANE_MINGW_TRIPLET}-windres)

# Headers and libraries come from the MinGW-w64 tree only; programs (Python, clang-format, Wine)
# from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TORVANE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: the C++ runtime, libgcc and winpthread are linked in, so nothing but the
# system's own DLLs (kernel32, msvcrt, ws2_32) is needed beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian puts the Wine loader in Wine's library folder, not on the PATH; /usr/bin/wine, a wrapper
# from the package `wine`, is taken when the loader itself is elsewhere.
find_program(TORVANE_WINE NAMES wine64 wine
  PATHS /usr/lib/wine /usr/lib/x86_64-linux-gnu/wine
  DOC "The Wine loader that runs the Windows executables of the build")
if(TORVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TORVANE_WINE})
endif()
