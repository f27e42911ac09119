// SPDX-License-Identifier: Apache-2.0
// The run of the program, with the steps that touch the platform or the network behind RunSteps.
#pragma once

#include <functional>
#include <string_view>

#include "common/dotted_quad.h"

/// The steps of a run that touch the platform or the network. `PlatformRunSteps` gives the real
/// ones; tests replace any of them to walk every path of the run without a device.
struct RunSteps {
  std::function<int()> initializeFramework;
  std::function<int()> startSocketLibrary;
  /// Broadcasts for the device; returns the count of answers and writes the address text into
  /// its argument only when the count is 1.
  std::function<int(AddressText& targetAddress)> discoverDevice;
  /// Identifies the target, writes `setting` into it when not empty and starts its update; 1 on
  /// success, 0 after printing why.
  std::function<int(const char* target, std::string_view setting)> prepareTarget;
  /// Sends the image; 1 when every block was programmed and verified, 0 otherwise.
  std::function<int(const char* target)> runTransferSequence;
  std::function<void()> waitForKey;
};

/// The real steps of this platform.
RunSteps PlatformRunSteps();

/// The whole run, from start-up to the key wait. Returns the exit status: 1 once the run has
/// reached target preparation, whatever happened there or after, 0 on every earlier stop and in
/// the encode mode.
int RunProgram(int argc, const char* const* argv, const RunSteps& steps);
