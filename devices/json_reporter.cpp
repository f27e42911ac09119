// SPDX-License-Identifier: Apache-2.0
// The reporter for scripts: one JSON document on standard output, progress on standard error.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "devices/progress_lines.h"

namespace {

using Json = nlohmann::ordered_json;

// The device's type and id, or null when it did not answer.
Json DeviceType(const Identification& identity) {
  return identity.result == IdentifyResult::Answered ? Json(identity.deviceType) : Json(nullptr);
}

Json DeviceIdText(const Identification& identity) {
  return identity.result == IdentifyResult::Answered ? Json(FormatDeviceId(identity.deviceId))
                                                     : Json(nullptr);
}

void WriteDocument(const Json& document) {
  // Every text in it is ASCII; a byte that is not would be replaced rather than fail the dump.
  WriteLine(stdout, document.dump(2, ' ', false, Json::error_handler_t::replace));
}

class JsonReporter final : public ProgressLines {
 public:
  JsonReporter() : ProgressLines(stderr) {}

  void Devices(const std::vector<ListedDevice>& devices) override {
    Json list = Json::array();
    for (const ListedDevice& device : devices) {
      const Identification& identity = device.identity;
      list.push_back({{"address", device.address},
                      {"answered", identity.result == IdentifyResult::Answered},
                      {"type", DeviceType(identity)},
                      {"supported", IsSupported(identity)},
                      {"id", DeviceIdText(identity)}});
    }
    WriteDocument({{"devices", std::move(list)}});
  }

  void Updates(const UpdateRun& run) override {
    Json list = Json::array();
    for (const DeviceRecord& device : run.devices) {
      if (device.result == DeviceResult::Skipped) {
        continue;
      }
      const bool updated = device.result == DeviceResult::Updated;
      list.push_back({{"address", device.address},
                      {"type", DeviceType(device.identity)},
                      {"id", DeviceIdText(device.identity)},
                      {"result", ResultName(device.result)},
                      {"failed_step", updated ? Json(nullptr) : Json(StepText(device.failedAt))},
                      {"attempts", device.attempts},
                      {"seconds", device.seconds}});
    }
    const size_t total = list.size();
    const size_t updated = CountResult(run.devices, DeviceResult::Updated);
    WriteDocument(
        {{"devices", std::move(list)},
         {"totals", {{"devices", total}, {"updated", updated}, {"failed", total - updated}}}});
  }
};

}  // namespace

std::unique_ptr<Reporter> MakeJsonReporter() {
  return std::make_unique<JsonReporter>();
}
