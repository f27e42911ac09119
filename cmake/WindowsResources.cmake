# SPDX-License-Identifier: Apache-2.0
# torvane_windows_resources(<program> <description>): on Windows, gives the program its version
# information and its manifest, from the one template that every program shares
# (packaging/windows/program.rc.in). Elsewhere it does nothing.
if(WIN32)
  enable_language(RC)
endif()

function(torvane_windows_resources program description)
  if(NOT WIN32)
    return()
  endif()
  set(TORVANE_PROGRAM ${program})
  set(TORVANE_PROGRAM_DESCRIPTION ${description})
  set(TORVANE_MANIFEST ${PROJECT_SOURCE_DIR}/packaging/windows/asInvoker.manifest)
  set(resources ${CMAKE_CURRENT_BINARY_DIR}/${program}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.rc.in ${resources} @ONLY)
  # windres reads the manifest while it compiles, unseen by the build's dependency scan.
  set_source_files_properties(${resources} PROPERTIES OBJECT_DEPENDS ${TORVANE_MANIFEST})
  target_sources(${program} PRIVATE ${resources})
endfunction()
