// SPDX-License-Identifier: Apache-2.0
// Start-up on POSIX: the signals of failed writes ignored; no framework or socket library to start.
#include "common/platform_startup.h"

#include <csignal>

void IgnoreWriteFailureSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

// POSIX has neither an application framework nor a socket library to start.
int InitializeFramework() {
  return 1;
}

int StartSocketLibrary() {
  return 1;
}

void StopSocketLibrary() {}
