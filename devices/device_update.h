// SPDX-License-Identifier: Apache-2.0
// The update of one device: attempt after attempt of its preparation and transfer, each over
// sockets of its own, told to a Reporter as it goes.
#pragma once

#include <string>

#include "devices/reporter.h"
#include "image/image_buffer.h"

/// What every device of an update gets alike.
struct DeviceUpdateSettings {
  /// Written into each device before its update when not empty (at most 89 bytes).
  std::string setting;
  /// Further attempts after a failed one, where another attempt may help.
  int retries = 0;
};

/// Updates the device at `record.address` with `image`: up to 1 + `settings.retries` attempts,
/// each identifying the device, checking its type, writing the setting, asking it to start and
/// sending the image; a device of another type is not tried again. Fills `record` (result,
/// reason, step, attempts, failed cycles, setting, times) and tells `reporter` each step, ending
/// with `DeviceDone`. Sockets are opened per attempt and closed on every path.
void UpdateDevice(DeviceRecord& record, const ImageBuffer& image,
                  const DeviceUpdateSettings& settings, Reporter& reporter);
