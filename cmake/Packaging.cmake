# The Debian package of the utility and the simulator: `cpack -G DEB` in the build tree, or
# `cmake --build build --target package`. It holds what `cmake --install` installs, under /usr.
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "Torvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
# Debian shows the long description as written: lines of at most 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "torvane-fwupdate installs a firmware image into a Torvane device on the local"
  "IPv4 network over UDP port 36: it finds the device by broadcast or takes its"
  "address, checks its type, optionally writes a setting string, then erases,"
  "programs and verifies the device's memory block by block. It also writes"
  "encoded copies of image files."
  "."
  "torvane-devsim plays such a device on UDP port 36, so that the utility can be"
  "tried without hardware. A Wireshark dissector for the protocol is included.")
set(CPACK_PACKAGE_CONTACT "Torvane maintainers <maintainers@torvane.invalid>")
set(CPACK_PACKAGE_INSTALL_DIRECTORY ${PROJECT_NAME})
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/out/" "__pycache__")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The library dependencies (libc6, libstdc++6, ...) are computed by dpkg-shlibdeps (dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
