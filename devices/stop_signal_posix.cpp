// SPDX-License-Identifier: Apache-2.0
// Stop requests on POSIX: SIGINT and SIGTERM counted by a handler that does nothing else, and
// kept away from the worker threads.
#include <pthread.h>

#include <csignal>

#include "devices/stop_signal.h"

namespace {

void CountSignal(int number) {
  RecordStopRequest(number == SIGINT ? StopCause::SigInt : StopCause::SigTerm);
}

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

}  // namespace

void CatchStopRequests() {
  struct sigaction action {};
  action.sa_handler = CountSignal;
  // Writes and waits of the main thread resume after the handler.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void LeaveStopRequestsToMainThread() {
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}
