#include "net/pause.h"

#include <windows.h>

void PauseMilliseconds(int milliseconds) {
  // A negative count would become a wait of some 49 days as a DWORD.
  Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0);
}
