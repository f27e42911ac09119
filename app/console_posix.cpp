// SPDX-License-Identifier: Apache-2.0
// Whether standard output is a terminal, on POSIX.
#include <unistd.h>

#include <cstdio>

#include "app/console.h"

bool StandardOutputIsConsole() {
  return isatty(fileno(stdout)) != 0;
}
