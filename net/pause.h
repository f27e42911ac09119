// SPDX-License-Identifier: Apache-2.0
// PauseMilliseconds: the pauses of the transfer dialogue.
#pragma once

#include <chrono>
#include <thread>

/// Blocks the calling thread for about `milliseconds` ms; not at all when it is 0 or less.
inline void PauseMilliseconds(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
