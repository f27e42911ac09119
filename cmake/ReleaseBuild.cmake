# SPDX-License-Identifier: Apache-2.0
# How the shipped programs are compiled: hardened as Debian hardens its own packages, and
# reproducible, so that one commit built in any folder gives the same bytes.

# The flags of Debian 12's dpkg-buildflags for the Linux programs. The sanitizer and fuzz presets
# turn them off: fortified calls bypass the sanitizers' checks of the same calls. MinGW would
# need libssp for some of them and ignores the ELF-only ones, so Windows builds go without.
option(TORVANE_HARDENING "Build the Linux programs with Debian's hardening flags" ON)
if(TORVANE_HARDENING AND NOT WIN32)
  # glibc fortifies only optimised code, and warns when asked to without optimisation.
  add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
  add_compile_options(-fstack-protector-strong -fstack-clash-protection
                      -Wformat -Werror=format-security)
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()

# The programs' first line shows __DATE__ and __TIME__, which GCC takes from SOURCE_DATE_EPOCH
# when that is in its environment: the time of the last commit, unless the caller sets it. The
# value is fixed when the build is configured and handed to the compiler of the one file that
# uses them (app/build_stamp.cpp) and to cpack.
set(TORVANE_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
if(TORVANE_SOURCE_DATE_EPOCH STREQUAL "")
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE TORVANE_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    # HEAD's log grows with every commit and checkout: configure again then, for the new time.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute
                            --git-path logs/HEAD
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(EXISTS "${head_log}")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${head_log})
    endif()
  endif()
endif()

# No path of the checkout in the objects (debug information, __FILE__); the build trees of the
# presets lie inside it, so their paths are covered too.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)
