# SPDX-License-Identifier: Apache-2.0
# Read by cpack before it packs (CPACK_PROJECT_CONFIG_FILE): it stamps the packed files with
# SOURCE_DATE_EPOCH when that is in its environment, so the time the objects were built with
# (cmake/ReleaseBuild.cmake) goes there, whoever runs cpack and whenever.
if(NOT CPACK_TORVANE_SOURCE_DATE_EPOCH STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_TORVANE_SOURCE_DATE_EPOCH})
endif()
