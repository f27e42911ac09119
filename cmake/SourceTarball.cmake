# SPDX-License-Identifier: Apache-2.0
# The source tarball, made by the target source_tarball (cmake -P, with GIT_EXECUTABLE,
# SOURCE_DIR, TARBALL and TOP set): the files of the last commit, none other, under the folder TOP,
# with the commit's time in the file source-date-epoch, where cmake/ReleaseBuild.cmake reads it, so
# that a build from the tarball gives the bytes of a build of the commit. git archive makes it
# reproducible: the files in the commit's order, each with the commit's time, owned by root,
# with the usual modes, compressed without a name or a time.
execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} log -1 --format=%ct HEAD
  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
if(failed OR NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "The source tarball is made from a git checkout with at least one commit: "
                      "${SOURCE_DIR} is none.")
endif()
execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} status --porcelain --untracked-files=no
  OUTPUT_VARIABLE changed COMMAND_ERROR_IS_FATAL ANY)
if(changed)
  message(WARNING "The tarball holds the last commit: the changes not committed are not in it.")
endif()
execute_process(
  COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} -c tar.umask=022 archive --format=tar.gz
          --prefix=${TOP}/ "--add-virtual-file=${TOP}/source-date-epoch:${epoch}\n"
          -o ${TARBALL} HEAD
  COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "Source tarball: ${TARBALL}")
