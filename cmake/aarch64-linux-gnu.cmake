# SPDX-License-Identifier: Apache-2.0
# Cross-compiles for 64-bit Arm Linux (arm64) with Debian's g++-aarch64-linux-gnu; what it builds
# runs under qemu-user-static's qemu-aarch64-static where that is installed. Used by the preset
# `linux-arm64`.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TORVANE_TARGET_TRIPLET aarch64-linux-gnu)
# GoogleTest's own project enables C as well, so both compilers are named.
set(CMAKE_C_COMPILER ${TORVANE_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TORVANE_TARGET_TRIPLET}-g++)
# Debian's multiarch name of the target: the dissector's folder and the packages' architecture.
set(CMAKE_LIBRARY_ARCHITECTURE ${TORVANE_TARGET_TRIPLET})

# Libraries come from the cross toolchain's tree only, programs (Python, clang-format, qemu) from
# the build machine. Headers may also come from /usr/include, where Debian's header-only libraries
# (nlohmann-json3-dev) live: the cross compiler searches it after its own tree.
set(CMAKE_FIND_ROOT_PATH /usr/${TORVANE_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The loader and libraries of the arm64 programs: those of Debian's arm64 libc6 and libstdc++6
# when installed as foreign packages (which the packages' dependencies need anyway), else the
# cross toolchain's.
find_program(TORVANE_QEMU NAMES qemu-${CMAKE_SYSTEM_PROCESSOR}-static
  DOC "The user-mode emulator that runs the arm64 programs of the build")
if(TORVANE_QEMU)
  if(EXISTS /lib/ld-linux-aarch64.so.1)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TORVANE_QEMU})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TORVANE_QEMU} -L /usr/${TORVANE_TARGET_TRIPLET})
  endif()
endif()
