// SPDX-License-Identifier: Apache-2.0
// Stop requests on Windows: the console's Ctrl+C, Ctrl+Break and closing, counted by a handler
// that the system runs on a thread of its own.
#include <windows.h>

#include "devices/stop_signal.h"

namespace {

BOOL WINAPI CountConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      RecordStopRequest(StopCause::ControlC);
      return TRUE;
    case CTRL_BREAK_EVENT:
      RecordStopRequest(StopCause::ControlBreak);
      return TRUE;
    case CTRL_CLOSE_EVENT:
      // The system ends the process a few seconds after this handler returns, or after about five
      // seconds at most: running transfers are abandoned at their next step at once, and the
      // handler waits here while the run records them and ends.
      RecordStopRequest(StopCause::ControlClose, 2);
      Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void CatchStopRequests() {
  SetConsoleCtrlHandler(CountConsoleEvent, TRUE);
}

// The console's handler runs on a thread of its own: no worker's call is interrupted.
void LeaveStopRequestsToMainThread() {}
