// SPDX-License-Identifier: Apache-2.0
// The run of an update's plan: which device is updated when, and what is recorded of each.
#pragma once

#include <vector>

#include "devices/device_update.h"

/// Runs `plan` (records in the order of the plan): a record that already carries a reason is
/// reported as skipped; every other device is updated with `image` as `UpdateDevice` does, one
/// after another. Returns the run with every record final, in the plan's order.
UpdateRun RunFleet(std::vector<DeviceRecord> plan, const ImageBuffer& image,
                   const DeviceUpdateSettings& settings, Reporter& reporter);
