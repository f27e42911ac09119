// SPDX-License-Identifier: Apache-2.0
// The journal's lines, written with nlohmann-json and read back leniently.
#include "devices/journal.h"

#include <algorithm>
#include <cctype>
#include <fstream>

#include "common/text_format.h"
#include "devices/reporter.h"
#include "devices/run_document.h"

std::string JournalLine(const DeviceRecord& device, const ImageFacts& image) {
  const bool identified = device.identity.result == IdentifyResult::Answered;
  const char* step = StepName(device.failedAt.step);
  const Json line = {
      {"format", DocumentFormat},
      {"id", IdJson(identified ? std::optional(device.identity.deviceId) : std::nullopt)},
      {"address", device.address},
      {"image_size", image.size},
      {"image_sha256", image.sha256},
      {"result", ResultName(device.result)},
      {"failed_step", step != nullptr ? Json(step) : Json(nullptr)},
      {"started", TimeJson(device.started)},
      {"ended", TimeJson(device.ended)},
      {"tool_version", TORVANE_VERSION},
  };
  return JsonText(line);
}

bool Journal::Open(const std::string& path) {
  path_ = path;
  return file_.Open(path);
}

std::string Journal::Append(const DeviceRecord& device, const ImageFacts& image) {
  const std::string line = JournalLine(device, image) + "\n";
  const std::lock_guard lock(mutex_);
  if (file_.AppendWhole(line) || failureSaid_) {
    return "";
  }
  failureSaid_ = true;
  return "cannot write to the journal " + QuotedText(path_) +
         "; a device missing from it is updated again with --skip-updated";
}

std::set<std::string> ReadUpdatedIds(const std::string& path, const std::string& sha256) {
  std::set<std::string> ids;
  std::ifstream file(path, std::ios::binary);
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
