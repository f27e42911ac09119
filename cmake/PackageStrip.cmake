# SPDX-License-Identifier: Apache-2.0
# Run by cpack once the files are staged, before they are packed (CPACK_PRE_BUILD_SCRIPTS): strips
# every program as Debian's dh_strip does, its symbols and debugging information and the .comment
# and .note sections, which nothing reads once the program is installed.
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(file IN LISTS staged)
  # ELF programs start with 7F 'E' 'L' 'F', Windows ones with 'M' 'Z'.
  file(READ ${file} magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46" OR magic MATCHES "^4d5a")
    execute_process(
      COMMAND ${CPACK_TORVANE_STRIP} --remove-section=.comment --remove-section=.note ${file}
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
