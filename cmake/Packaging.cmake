# SPDX-License-Identifier: Apache-2.0
# The packages, made by `cpack` in the build tree (or `cmake --build build --target package`): on
# Linux three Debian packages, one per install component (torvane-fwupdate, torvane-devsim and
# ansible-torvane-devices); on Windows one zip to unpack anywhere.
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "Torvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Torvane maintainers <maintainers@torvane.invalid>")
set(CPACK_PACKAGE_INSTALL_DIRECTORY ${PROJECT_NAME})
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/out/" "__pycache__")

# The staged programs are stripped as Debian's dh_strip strips them (cmake/PackageStrip.cmake);
# cpack stamps what it packs with the time the objects were built with, and refuses to make
# Debian packages that would be wrong (cmake/PackageConfig.cmake).
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackageStrip.cmake)
set(CPACK_TORVANE_STRIP ${CMAKE_STRIP})
set(CPACK_TORVANE_SOURCE_DATE_EPOCH ${TORVANE_SOURCE_DATE_EPOCH})
set(CPACK_TORVANE_NOT_PACKAGEABLE "${TORVANE_NOT_PACKAGEABLE}")
set(CPACK_TORVANE_MULTIARCH ${CMAKE_LIBRARY_ARCHITECTURE})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/PackageConfig.cmake)

# The source tarball: `cmake --build build --target source_tarball` writes
# torvane-fwupdate-<version>.tar.gz into the build tree, from the last commit
# (cmake/SourceTarball.cmake).
find_package(Git QUIET)
add_custom_target(source_tarball
  COMMAND ${CMAKE_COMMAND} -DGIT_EXECUTABLE=${GIT_EXECUTABLE} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DTOP=${PROJECT_NAME}-${PROJECT_VERSION}
          -DTARBALL=${PROJECT_BINARY_DIR}/${PROJECT_NAME}-${PROJECT_VERSION}.tar.gz
          -P ${PROJECT_SOURCE_DIR}/cmake/SourceTarball.cmake
  VERBATIM)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # Everything at the top of the zip: Explorer's "Extract All" makes the folder.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  # Texts for Notepad and cmd: CR LF line ends.
  configure_file(packaging/windows/README.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/LICENSE.txt
    DESTINATION . COMPONENT fwupdate)
  include(CPack)
  return()
endif()

set(CPACK_GENERATOR DEB)
# A Debian package installs under /usr, whatever prefix `cmake --install` would use; the manual
# pages are filled in when they are installed, so they name the paths of the package.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SOURCE ${PROJECT_NAME})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The library dependencies (libc6, libstdc++6, ...) are computed by dpkg-shlibdeps (dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack puts the project's summary in front of each package's description unless the summary is
# CPack's own default: with that default, each description's first line is its package's summary.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")

# Debian shows the long descriptions as written: lines of at most 80 columns.
set(CPACK_DEBIAN_FWUPDATE_PACKAGE_NAME torvane-fwupdate)
set(CPACK_DEBIAN_FWUPDATE_PACKAGE_SUGGESTS "tshark | wireshark")
string(JOIN "\n" CPACK_DEBIAN_FWUPDATE_DESCRIPTION
  ${PROJECT_DESCRIPTION}
  "torvane-fwupdate installs a firmware image into a Torvane device on the local"
  "IPv4 network over UDP port 36: it finds the device by broadcast or takes its"
  "address, checks its type, optionally writes a setting string, then erases,"
  "programs and verifies the device's memory block by block. It also writes"
  "encoded copies of image files."
  "."
  "A Wireshark dissector for the protocol is included.")

set(CPACK_DEBIAN_DEVSIM_PACKAGE_NAME torvane-devsim)
string(JOIN "\n" CPACK_DEBIAN_DEVSIM_DESCRIPTION
  "Torvane network device simulator, for torvane-fwupdate"
  "torvane-devsim plays a Torvane device on UDP port 36, so that torvane-fwupdate"
  "can be tried, rehearsed and tested without hardware, with faults on demand."
  "."
  "It answers discovery broadcasts like a real device: run it only in a network"
  "namespace of its own or on a network without real devices.")

# The Ansible collection, for the controller; its modules run torvane-devices on the site hosts,
# which have torvane-fwupdate. Named as Debian names what plugs into a program, after the program
# (ansible-mitogen, puppet-module-*). Architecture-independent: the same bytes from every build.
set(CPACK_DEBIAN_ANSIBLE_PACKAGE_NAME ansible-torvane-devices)
set(CPACK_DEBIAN_ANSIBLE_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_ANSIBLE_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_ANSIBLE_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_ANSIBLE_PACKAGE_DEPENDS
    "ansible-core, torvane-fwupdate (>= ${PROJECT_VERSION})")
string(JOIN "\n" CPACK_DEBIAN_ANSIBLE_DESCRIPTION
  "Ansible collection torvane.devices, to update Torvane devices at many sites"
  "The collection drives torvane-devices (package torvane-fwupdate) on a small"
  "host on each site's device LAN over SSH: the module devices_facts finds the"
  "devices of a site, the module update installs a firmware image into them,"
  "with a journal so that a second run changes nothing, and a dry run in check"
  "mode. The example playbook torvane.devices.update_sites updates a canary site"
  "first, then a quarter of the sites at a time, and stops past a failure share."
  "."
  "Ansible finds the collection where it is installed, without configuration.")

# What Debian wants beside each package's files: the licence in machine-readable form and the
# changelog (one for all three packages: they come from one source).
execute_process(COMMAND date -u -R -d ${TORVANE_RELEASE_DATE}
  OUTPUT_VARIABLE TORVANE_CHANGELOG_DATE OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(debian_dir ${PROJECT_BINARY_DIR}/debian)
configure_file(packaging/debian/copyright.in ${debian_dir}/copyright @ONLY)
configure_file(packaging/debian/changelog.in ${debian_dir}/changelog @ONLY)
execute_process(COMMAND ${GZIP_EXECUTABLE} -9nc ${debian_dir}/changelog
  OUTPUT_FILE ${debian_dir}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${debian_dir}/copyright ${debian_dir}/changelog.gz README.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/torvane-fwupdate COMPONENT fwupdate)
install(FILES ${debian_dir}/copyright ${debian_dir}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/torvane-devsim COMPONENT devsim)
install(FILES ${debian_dir}/copyright ${debian_dir}/changelog.gz
  ansible/ansible_collections/torvane/devices/README.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/ansible-torvane-devices COMPONENT ansible)
install(FILES packaging/debian/ansible-torvane-devices.lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ansible-torvane-devices
  COMPONENT ansible)

include(CPack)
