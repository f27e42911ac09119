// SPDX-License-Identifier: Apache-2.0
// The reporter for scripts: one JSON document on standard output, progress on standard error.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "devices/reporter.h"

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

class JsonReporter final : public Reporter {
 public:
  void Progress(const std::string& line) override { WriteLine(stderr, line); }

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

  void Updates(const std::vector<UpdateRecord>& updates) override {
    Json list = Json::array();
    for (const UpdateRecord& update : updates) {
      list.push_back({{"address", update.address},
                      {"type", DeviceType(update.identity)},
                      {"id", DeviceIdText(update.identity)},
                      {"result", update.updated ? "updated" : "failed"},
                      {"failed_step", update.updated ? Json(nullptr) : Json(update.failedStep)},
                      {"attempts", update.attempts},
                      {"seconds", update.seconds}});
    }
    const size_t total = updates.size();
    const size_t updated = CountUpdated(updates);
    WriteDocument(
        {{"devices", std::move(list)},
         {"totals", {{"devices", total}, {"updated", updated}, {"failed", total - updated}}}});
  }
};

}  // namespace

std::unique_ptr<Reporter> MakeJsonReporter() {
  return std::make_unique<JsonReporter>();
}
