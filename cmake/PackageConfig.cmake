# SPDX-License-Identifier: Apache-2.0
# Read by cpack before it packs (CPACK_PROJECT_CONFIG_FILE). It stamps the packed files with the
# time the objects were built with (cmake/ReleaseBuild.cmake), whoever runs cpack and whenever;
# and for the Debian packages it names their architecture and refuses, saying why, what would
# give packages that are wrong: a build that is not hardened, or no tools or no C libraries of the
# packages' architecture to compute their dependencies with.
cmake_policy(VERSION 3.25)  # cpack reads it without the project's policies
if(NOT CPACK_TORVANE_SOURCE_DATE_EPOCH STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_TORVANE_SOURCE_DATE_EPOCH})
endif()
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

if(NOT CPACK_TORVANE_NOT_PACKAGEABLE STREQUAL "")
  message(FATAL_ERROR "The Debian packages are made from a hardened, optimised build, and "
                      "${CPACK_TORVANE_NOT_PACKAGEABLE}.")
endif()
# dpkg-shlibdeps (dpkg-dev) computes the packages' dependencies, and cpack picks the programs out
# with file: without them cpack would make packages without dependencies, or fail obscurely.
find_program(TORVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(TORVANE_DPKG_ARCHITECTURE dpkg-architecture)
find_program(TORVANE_FILE file)
if(NOT TORVANE_DPKG_SHLIBDEPS OR NOT TORVANE_DPKG_ARCHITECTURE OR NOT TORVANE_FILE)
  message(FATAL_ERROR "Making the Debian packages needs the Debian packages dpkg-dev and file: "
                      "install them (.ci/install-packages --build installs all that building "
                      "the packages needs).")
endif()
# The packages' architecture is that of the programs (arm64 in a cross build), not the machine's;
# without a multiarch name for them, cpack takes the machine's.
set(architecture "")
if(NOT CPACK_TORVANE_MULTIARCH STREQUAL "")
  execute_process(COMMAND ${TORVANE_DPKG_ARCHITECTURE} -t ${CPACK_TORVANE_MULTIARCH} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
  set(architecture ":${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
endif()
# dpkg-shlibdeps takes the dependencies from the packages of the C and C++ libraries of that
# architecture in the dpkg database: of another architecture, they must be installed as foreign
# packages.
foreach(library IN ITEMS libc6 libstdc++6)
  execute_process(COMMAND dpkg-query -W -f=\${Status} ${library}${architecture}
    OUTPUT_VARIABLE status ERROR_QUIET)
  if(NOT status MATCHES "install ok installed")
    message(FATAL_ERROR "dpkg-shlibdeps needs ${library}${architecture} in the dpkg database to "
      "compute the packages' dependencies: for a foreign architecture, dpkg --add-architecture ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}, "
      "apt-get update, then apt-get install libc6${architecture} libstdc++6${architecture} "
      "(.ci/install-packages does all that).")
  endif()
endforeach()
