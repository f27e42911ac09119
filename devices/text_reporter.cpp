// SPDX-License-Identifier: Apache-2.0
// The reporter for people: one line per device or per step, and the totals of an update.
#include <algorithm>

#include "common/text_format.h"
#include "devices/progress_lines.h"

namespace {

// "10.0.0.7         type 1      supported      id 00:1b:2c:3d:4e:5f", columns aligned; or why
// there is no identity to show.
std::string DeviceLine(const ListedDevice& device) {
  const Identification& identity = device.identity;
  const std::string name = DeviceName(device.address, device.askedId);
  if (device.reason == ResultReason::NotFound) {
    return FormatText("%-15s  not found: no device answered with this id", name.c_str());
  }
  if (identity.result != IdentifyResult::Answered) {
    return FormatText("%-15s  %s", name.c_str(), IdentityText(identity).c_str());
  }
  return FormatText(
      "%-15s  type %-5u  %-13s  id %s%s", name.c_str(), static_cast<unsigned>(identity.deviceType),
      IsSupported(identity) ? "supported" : "not supported",
      FormatDeviceId(identity.deviceId).c_str(),
      device.reason == ResultReason::DuplicateId ? "  (also another device's id)" : "");
}

class TextReporter final : public ProgressLines {
 public:
  TextReporter() : ProgressLines(stdout) {}

  void Devices(const ListRun& run) override {
    for (const ListedDevice& device : run.devices) {
      WriteLine(stdout, DeviceLine(device));
    }
  }

  void Updates(const UpdateRun& run) override {
    const std::vector<DeviceRecord>& devices = run.devices;
    const size_t tried = devices.size() - CountResult(devices, DeviceResult::Skipped);
    if (run.dryRun) {
      const size_t would = static_cast<size_t>(std::count_if(
          devices.begin(), devices.end(),
          [](const DeviceRecord& device) { return device.reason == ResultReason::DryRun; }));
      WriteLine(stdout, "Dry run: would update " + std::to_string(would) + " of " +
                            Counted(devices.size(), "device") + ".");
    } else {
      WriteLine(stdout, "Updated " + std::to_string(CountResult(devices, DeviceResult::Updated)) +
                            " of " + Counted(tried, "device") + ".");
    }
    for (const DeviceRecord& device : devices) {
      if (device.result == DeviceResult::Failed) {
        WriteLine(stdout, "Failed: " + DeviceName(device.address, device.askedId) + " at " +
                              StepText(device.failedAt) + " (" +
                              Counted(static_cast<size_t>(device.attempts), "attempt") + ")");
      }
    }
  }
};

}  // namespace

std::unique_ptr<Reporter> MakeTextReporter() {
  return std::make_unique<TextReporter>();
}
