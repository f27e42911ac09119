// SPDX-License-Identifier: Apache-2.0
// IsTerminal on Windows: a console only; the NUL device, which _isatty also reports, is none.
#include <io.h>
#include <windows.h>

#include "devices/status_line.h"

bool IsTerminal(std::FILE* stream) {
  DWORD mode = 0;
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}
