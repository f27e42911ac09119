// SPDX-License-Identifier: Apache-2.0
// What the platforms' stop handlers share: the count of requests, the first cause, its name and
// the exit status it gives.
#include "devices/stop_signal.h"

#include <atomic>

namespace {

// Written by the signal handler (POSIX) or the console's handler thread (Windows), read by every
// thread of the run: lock-free atomics, which a signal handler may touch.
std::atomic<int> requests{0};
std::atomic<int> firstCause{static_cast<int>(StopCause::None)};
static_assert(std::atomic<int>::is_always_lock_free);

}  // namespace

void RecordStopRequest(StopCause cause, int weight) {
  int none = static_cast<int>(StopCause::None);
  firstCause.compare_exchange_strong(none, static_cast<int>(cause));
  requests.fetch_add(weight);
}

int StopRequestCount() {
  return requests.load();
}

StopCause FirstStopCause() {
  return static_cast<StopCause>(firstCause.load());
}

const char* StopCauseName(StopCause cause) {
  // In the order of StopCause.
  constexpr const char* Names[] = {"", "SIGINT", "SIGTERM", "CTRL_C", "CTRL_BREAK", "CTRL_CLOSE"};
  return Names[static_cast<int>(cause)];
}

int StopExitStatus(StopCause cause) {
  return cause == StopCause::SigInt || cause == StopCause::ControlC ? 130 : 143;
}
