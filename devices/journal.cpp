// SPDX-License-Identifier: Apache-2.0
// The journal's lines, written with nlohmann-json and read back leniently.
#include "devices/journal.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>

#include "common/utc_time.h"
#include "devices/reporter.h"

namespace {

using Json = nlohmann::ordered_json;

Json OptionalTime(const std::optional<WallClock::time_point>& moment) {
  return moment ? Json(FormatUtcTime(*moment)) : Json(nullptr);
}

Json OptionalText(const char* text) {
  return text != nullptr ? Json(text) : Json(nullptr);
}

}  // namespace

std::string JournalLine(const DeviceRecord& device, const ImageFacts& image) {
  const bool identified = device.identity.result == IdentifyResult::Answered;
  const Json line = {
      {"format", 1},
      {"id", identified ? Json(FormatDeviceId(device.identity.deviceId)) : Json(nullptr)},
      {"address", device.address},
      {"image_size", image.size},
      {"image_sha256", image.sha256},
      {"result", ResultName(device.result)},
      {"failed_step", OptionalText(StepName(device.failedAt.step))},
      {"started", OptionalTime(device.started)},
      {"ended", OptionalTime(device.ended)},
      {"tool_version", TORVANE_VERSION},
  };
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool Journal::Open(const std::string& path) {
  path_ = path;
  return file_.Open(path);
}

bool Journal::Append(const DeviceRecord& device, const ImageFacts& image) {
  const std::string line = JournalLine(device, image) + "\n";
  const std::lock_guard lock(mutex_);
  if (file_.AppendWhole(line)) {
    return true;
  }
  if (!failureSaid_) {
    Complain("cannot write to the journal '" + path_ +
             "'; a device missing from it is updated again with --skip-updated");
    failureSaid_ = true;
  }
  return false;
}

std::set<std::string> Journal::UpdatedIds(const std::string& sha256) const {
  std::set<std::string> ids;
  std::ifstream file(path_, std::ios::binary);
  for (std::string text; std::getline(file, text);) {
    const Json line = Json::parse(text, nullptr, false);
    if (line.is_object() && line.value("result", Json()) == "updated" &&
        line.value("image_sha256", Json()) == sha256 && line.value("id", Json()).is_string()) {
      // Written in lower case; a line written by hand may not be.
      std::string id = line["id"].get<std::string>();
      std::transform(id.begin(), id.end(), id.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      ids.insert(std::move(id));
    }
  }
  return ids;
}
