// SPDX-License-Identifier: Apache-2.0
// The reporter for people: one line per device or per step, and the totals of an update.
#include "common/text_format.h"
#include "devices/reporter.h"

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

class TextReporter final : public Reporter {
 public:
  void Progress(const std::string& line) override { WriteLine(stdout, line); }

  void Devices(const std::vector<ListedDevice>& devices) override {
    for (const ListedDevice& device : devices) {
      WriteLine(stdout, DeviceLine(device));
    }
  }

  void Updates(const std::vector<UpdateRecord>& updates) override {
    WriteLine(stdout, "Updated " + std::to_string(CountUpdated(updates)) + " of " +
                          Counted(updates.size(), "device") + ".");
    for (const UpdateRecord& update : updates) {
      if (!update.updated) {
        WriteLine(stdout, "Failed: " + update.address + " at " + update.failedStep + " (" +
                              Counted(static_cast<size_t>(update.attempts), "attempt") + ")");
      }
    }
  }
};

}  // namespace

std::unique_ptr<Reporter> MakeTextReporter() {
  return std::make_unique<TextReporter>();
}
