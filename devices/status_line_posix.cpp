// SPDX-License-Identifier: Apache-2.0
// IsTerminal on POSIX.
#include <unistd.h>

#include "devices/status_line.h"

bool IsTerminal(std::FILE* stream) {
  return isatty(fileno(stream)) == 1;
}
