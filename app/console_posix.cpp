#include <unistd.h>

#include <cstdio>

#include "app/console.h"

bool StandardOutputIsConsole() {
  return isatty(fileno(stdout)) != 0;
}
