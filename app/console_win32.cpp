// SPDX-License-Identifier: Apache-2.0
// Whether standard output is a console, on Windows.
#include <windows.h>

#include "app/console.h"

bool StandardOutputIsConsole() {
  // Only a console has a console mode; _isatty would also take the NUL device and serial ports
  // for one.
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}
