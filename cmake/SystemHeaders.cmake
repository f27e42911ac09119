# SPDX-License-Identifier: Apache-2.0
# Header-only libraries from Debian's /usr/include, for the native and the MinGW build alike.

# torvane_system_headers(<target> <PUBLIC|PRIVATE> <header> <package>): gives <target> the library
# that <header> (such as nlohmann/json.hpp) belongs to, from Debian's <package>. A MinGW build must
# not see /usr/include, whose Linux headers would shadow MinGW's: the target gets a folder of the
# build tree that holds nothing but a link to the library's own folder (the header's first part).
function(torvane_system_headers target scope header package)
  string(REGEX REPLACE "/.*" "" folder ${header})
  string(TOUPPER "TORVANE_${folder}_INCLUDE_DIR" found)
  find_path(${found} ${header} PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
            DOC "The folder that holds ${header}")
  if(NOT ${found})
    message(FATAL_ERROR "${header} not found: install Debian's ${package} (.ci/install-packages)")
  endif()
  set(linked ${CMAKE_BINARY_DIR}/system-include/${folder})
  file(MAKE_DIRECTORY ${linked})
  file(CREATE_LINK ${${found}}/${folder} ${linked}/${folder} SYMBOLIC)
  target_include_directories(${target} SYSTEM ${scope} ${linked})
endfunction()
