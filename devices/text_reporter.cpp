// SPDX-License-Identifier: Apache-2.0
// The reporter for people: one line per device or per step, and the totals of an update.
#include "common/text_format.h"
#include "devices/progress_lines.h"

namespace {

// "10.0.0.7         type 1      supported      id 00:1b:2c:3d:4e:5f", columns aligned.
std::string DeviceLine(const ListedDevice& device) {
  const Identification& identity = device.identity;
  if (identity.result != IdentifyResult::Answered) {
    return FormatText("%-15s  no answer to identify", device.address.c_str());
  }
  return FormatText("%-15s  type %-5u  %-13s  id %s", device.address.c_str(),
                    static_cast<unsigned>(identity.deviceType),
                    IsSupported(identity) ? "supported" : "not supported",
                    FormatDeviceId(identity.deviceId).c_str());
}

class TextReporter final : public ProgressLines {
 public:
  TextReporter() : ProgressLines(stdout) {}

  void Devices(const std::vector<ListedDevice>& devices) override {
    for (const ListedDevice& device : devices) {
      WriteLine(stdout, DeviceLine(device));
    }
  }

  void Updates(const UpdateRun& run) override {
    const std::vector<DeviceRecord>& devices = run.devices;
    const size_t tried = devices.size() - CountResult(devices, DeviceResult::Skipped);
    WriteLine(stdout, "Updated " + std::to_string(CountResult(devices, DeviceResult::Updated)) +
                          " of " + Counted(tried, "device") + ".");
    for (const DeviceRecord& device : devices) {
      if (device.result == DeviceResult::Failed) {
        WriteLine(stdout, "Failed: " + device.address + " at " + StepText(device.failedAt) + " (" +
                              Counted(static_cast<size_t>(device.attempts), "attempt") + ")");
      }
    }
  }
};

}  // namespace

std::unique_ptr<Reporter> MakeTextReporter() {
  return std::make_unique<TextReporter>();
}
