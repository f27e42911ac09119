# SPDX-License-Identifier: Apache-2.0
# Every test has a time-out. Slow runs (sanitizers, Wine) scale them all with the environment
# variable TORVANE_TIMEOUT_SCALE, read when the build is configured, or the cache entry of the
# same name.
set(TORVANE_TIMEOUT_SCALE "$ENV{TORVANE_TIMEOUT_SCALE}" CACHE STRING "Factor for every test time-out")

# torvane_timeout(<out-var> <seconds>): the time-out of a test, scaled.
function(torvane_timeout out_var seconds)
  set(scale "${TORVANE_TIMEOUT_SCALE}")
  if(NOT scale)
    set(scale 1)
  endif()
  math(EXPR scaled "${seconds} * ${scale}")
  set(${out_var} ${scaled} PARENT_SCOPE)
endfunction()
