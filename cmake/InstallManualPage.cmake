# SPDX-License-Identifier: Apache-2.0
# Renders a manual page from its template (man/*.1.in): by the build for reading and the tests,
# and again when it is installed, with the prefix it is installed under (man/CMakeLists.txt).

# torvane_render_manual_page(<template> <page>): fills in the version, the release date and the
# installed paths of the dissector and the JSON Schema under TORVANE_INSTALL_PREFIX.
function(torvane_render_manual_page template page)
  # roff needs \- for a hyphen that is typed as a minus.
  string(REPLACE "-" "\\-" TORVANE_DISSECTOR_PATH
         "${TORVANE_INSTALL_PREFIX}/${TORVANE_INSTALL_DISSECTOR_DIR}/torvane.lua")
  string(REPLACE "-" "\\-" TORVANE_SCHEMA_PATH
         "${TORVANE_INSTALL_PREFIX}/${TORVANE_INSTALL_SCHEMA_DIR}/torvane-devices.schema.json")
  if(WIN32)
    set(TORVANE_DISSECTOR_PATH torvane.lua)
    set(TORVANE_SCHEMA_PATH torvane\\-devices.schema.json)
  endif()
  configure_file(${template} ${page} @ONLY)
endfunction()

# torvane_install_manual_page(): run by the install script, with CMAKE_INSTALL_PREFIX the prefix
# of this installation and the page_* variables that man/CMakeLists.txt sets; installs the page,
# compressed as Debian installs pages (-n keeps the name and time out, for reproducible packages).
function(torvane_install_manual_page)
  get_filename_component(name ${page_source} NAME_WLE)
  set(TORVANE_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  torvane_render_manual_page(${page_source} ${page_build}/${name})
  set(installed ${page_build}/${name})
  if(page_gzip)
    execute_process(COMMAND ${page_gzip} -9nf ${installed} COMMAND_ERROR_IS_FATAL ANY)
    set(installed ${installed}.gz)
  endif()
  file(INSTALL ${installed} DESTINATION ${CMAKE_INSTALL_PREFIX}/${page_destination})
endfunction()
