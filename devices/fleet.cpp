// SPDX-License-Identifier: Apache-2.0
// The run of an update's plan, device after device.
#include "devices/fleet.h"

UpdateRun RunFleet(std::vector<DeviceRecord> plan, const ImageBuffer& image,
                   const DeviceUpdateSettings& settings, Reporter& reporter) {
  UpdateRun run;
  run.started = WallClock::now();
  // The devices left out are said first, as the plan found them.
  for (DeviceRecord& record : plan) {
    if (record.reason != ResultReason::None) {
      record.result = DeviceResult::Skipped;
      reporter.DeviceSkipped(record);
    }
  }
  for (DeviceRecord& record : plan) {
    if (record.reason == ResultReason::None) {
      UpdateDevice(record, image, settings, reporter);
    }
  }
  run.devices = std::move(plan);
  run.ended = WallClock::now();
  return run;
}
