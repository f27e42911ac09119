#include "net/pause.h"

#include <windows.h>

void PauseMilliseconds(int milliseconds) {
  Sleep(static_cast<DWORD>(milliseconds));
}
