#include <io.h>

#include <cstdio>

#include "app/console.h"

bool StandardOutputIsConsole() {
  return _isatty(_fileno(stdout)) != 0;
}
