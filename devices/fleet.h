// SPDX-License-Identifier: Apache-2.0
// The run of an update's plan: which device is updated when and beside which others, what stops
// the run, and what is recorded of each device.
#pragma once

#include <vector>

#include "devices/command_line.h"
#include "devices/device_update.h"
#include "devices/journal.h"

/// How the plan is run, besides what each device gets.
struct FleetSettings {
  DeviceUpdateSettings device;
  /// Devices updated at the same time, 1 to 64.
  int parallel = 1;
  /// The first this many devices to be updated run alone, first; the others start only if all of
  /// them were updated. 0: none.
  int canary = 0;
  /// No device starts once this many failed or timed out; 0: no limit.
  int maxFailed = 0;
  /// Where each started device's line goes; none when null.
  Journal* journal = nullptr;
};

/// The settings that `options` give.
FleetSettings FleetSettingsOf(const DevicesOptions& options);

/// Runs `plan` (records in the order of the plan, identified) with `image`, whose facts `facts`
/// are: a record that already carries a reason is reported as skipped. The others are updated as
/// `UpdateDevice` does, in the plan's order, up to `parallel` at a time on threads of their own,
/// each with its own pads; the canaries first. No device starts after a stop request, after a
/// canary was not updated, or once `maxFailed` devices failed or timed out: those left are skipped
/// with that reason. A second stop request abandons the running devices at their next step. Each
/// started device's line is appended to the journal before it is reported done. Returns the
/// records, final, in the plan's order. `reporter` is called from one thread at a time, under one
/// mutex, whichever worker calls.
std::vector<DeviceRecord> RunFleet(std::vector<DeviceRecord> plan, const ImageBuffer& image,
                                   const ImageFacts& facts, const FleetSettings& settings,
                                   Reporter& reporter);
