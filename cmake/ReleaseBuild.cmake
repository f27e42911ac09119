# SPDX-License-Identifier: Apache-2.0
# How the shipped programs are compiled: hardened as Debian hardens its own packages, and
# reproducible, so that one commit built in any folder gives the same bytes.

# Without a build type CMake compiles unoptimised: a plain `cmake -S . -B build` builds what the
# presets and the packages build instead (optimised, with debugging information that cpack strips).
get_property(torvane_multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
if(NOT torvane_multi_config AND NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING
      "The build type: RelWithDebInfo (the default), Release, MinSizeRel or Debug" FORCE)
endif()

# The flags of Debian 12's dpkg-buildflags for the Linux programs, in every build type. The
# sanitizer and fuzz presets turn them off: fortified calls bypass the sanitizers' checks of the
# same calls. MinGW would need libssp for some of them and ignores the ELF-only ones, so Windows
# builds go without.
option(TORVANE_HARDENING "Build the Linux programs with Debian's hardening flags" ON)
# Whether the programs of this build are what the Debian packages need (cmake/PackageConfig.cmake
# refuses to pack them otherwise), and if not, why.
set(TORVANE_NOT_PACKAGEABLE "")
if(TORVANE_HARDENING AND NOT WIN32)
  add_compile_options(-fstack-protector-strong -fstack-clash-protection
                      -Wformat -Werror=format-security)
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
  # glibc fortifies only optimised code, and warns when asked to without optimisation: the
  # definition goes to each configuration whose flags optimise (the last -O wins), whatever its
  # name, so `-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O2` is fortified too.
  set(optimised_configs)
  foreach(config IN LISTS CMAKE_CONFIGURATION_TYPES CMAKE_BUILD_TYPE)
    string(TOUPPER "${config}" config_upper)
    string(REGEX MATCHALL "(^| )-O[^ ]*" levels " ${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${config_upper}}")
    list(POP_BACK levels level)
    if(level AND NOT level MATCHES "-O0$")
      list(APPEND optimised_configs ${config})
    endif()
  endforeach()
  if(optimised_configs)
    list(JOIN optimised_configs "," optimised_configs)
    add_compile_definitions($<$<CONFIG:${optimised_configs}>:_FORTIFY_SOURCE=2>)
  endif()
  if(NOT torvane_multi_config AND NOT CMAKE_BUILD_TYPE IN_LIST optimised_configs)
    string(CONCAT TORVANE_NOT_PACKAGEABLE "the build type ${CMAKE_BUILD_TYPE} does not optimise, "
           "so glibc cannot fortify the programs: configure with -DCMAKE_BUILD_TYPE=RelWithDebInfo")
  endif()
elseif(NOT WIN32)
  set(TORVANE_NOT_PACKAGEABLE "the build is configured with -DTORVANE_HARDENING=OFF")
endif()

# The programs' first line shows __DATE__ and __TIME__, which GCC takes from SOURCE_DATE_EPOCH
# when that is in its environment, never the clock. The time, first that applies: the caller's
# SOURCE_DATE_EPOCH; in a git checkout, the last commit's time; in a source tarball made by the
# target source_tarball, the time of the commit it was made from, which it holds in the file
# source-date-epoch (so its build gives the bytes of the checkout's); else midnight (UTC) of the
# release date. The value is fixed when the build is configured and handed to the compiler of the
# one file that uses them (app/build_stamp.cpp) and to cpack.
set(TORVANE_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
if(TORVANE_SOURCE_DATE_EPOCH STREQUAL "" AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
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
if(TORVANE_SOURCE_DATE_EPOCH STREQUAL "" AND EXISTS ${PROJECT_SOURCE_DIR}/source-date-epoch)
  file(STRINGS ${PROJECT_SOURCE_DIR}/source-date-epoch TORVANE_SOURCE_DATE_EPOCH
       REGEX "^[0-9]+$" LIMIT_COUNT 1)
endif()
if(TORVANE_SOURCE_DATE_EPOCH STREQUAL "")
  execute_process(COMMAND date -u -d "${TORVANE_RELEASE_DATE}" +%s
    OUTPUT_VARIABLE TORVANE_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)
endif()

# No path of the checkout or of the build tree in the objects (debug information, __FILE__), so
# that the build-id the linker computes over them is the same in any two folders and with any
# generator. The last map that matches wins: the build tree's where it lies inside the checkout,
# and the folder of each target's own build files, where Makefiles compile (Ninja compiles at the
# top of the build tree), so that the compiler's folder is recorded as `build` either way.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
                    -ffile-prefix-map=${PROJECT_BINARY_DIR}=build
                    -ffile-prefix-map=$<TARGET_PROPERTY:BINARY_DIR>=build)
