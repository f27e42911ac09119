// SPDX-License-Identifier: Apache-2.0
// The update of one device: attempt after attempt of its preparation and transfer, each over
// sockets of its own, told to a Reporter as it goes, and abandoned at its next step when asked or
// when its time is up.
#pragma once

#include <functional>
#include <string>

#include "devices/reporter.h"
#include "image/image_buffer.h"
#include "transfer/block_record.h"

/// What every device of an update gets alike.
struct DeviceUpdateSettings {
  /// Written into each device before its update when not empty (at most 89 bytes).
  std::string setting;
  /// Further attempts after a failed one, where another attempt may help.
  int retries = 0;
  /// A device that has run this long, all its attempts together, is abandoned at its next step;
  /// 0 for no limit.
  int timeoutSeconds = 0;
};

/// Asked at each step of a device: true abandons it there, as interrupted.
using AbandonCheck = std::function<bool()>;

/// Updates the device at `record.address` with `image`: up to 1 + `settings.retries` attempts,
/// each identifying the device, checking its type, writing the setting, asking it to start and
/// sending the image with pads from `pads`; a device of another type is not tried again. Before
/// each attempt and each datagram of the transfer that expects an answer, `abandon` and the time
/// limit are asked: the device then ends `Interrupted` or `TimedOut` (reason `DeviceTimeout`) at
/// that step, with no further attempt. Fills `record` (result, reason, step, attempts, failed
/// cycles, setting, times) and tells `reporter` each step; `DeviceDone` is left to the caller.
/// Sockets are opened per attempt and closed on every path.
void UpdateDevice(DeviceRecord& record, const ImageBuffer& image,
                  const DeviceUpdateSettings& settings, Reporter& reporter, PadSource& pads,
                  const AbandonCheck& abandon);
