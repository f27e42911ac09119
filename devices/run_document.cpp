// SPDX-License-Identifier: Apache-2.0
// The members of format 1, in the order the manual page shows them.
#include "devices/run_document.h"

#include "common/utc_time.h"
#include "devices/reporter.h"

namespace {

// The members that begin every document.
Json DocumentHead(const std::string& command, WallClock::time_point started,
                  WallClock::time_point ended) {
  return {{"format", DocumentFormat},
          {"tool", {{"name", "torvane-devices"}, {"version", TORVANE_VERSION}}},
          {"command", command},
          {"started", TimeJson(started)},
          {"ended", TimeJson(ended)}};
}

Json NameOrNull(const char* name) {
  return name != nullptr ? Json(name) : Json(nullptr);
}

Json TypeJson(const Identification& identity) {
  return identity.result == IdentifyResult::Answered ? Json(identity.deviceType) : Json(nullptr);
}

}  // namespace

Json TimeJson(const std::optional<WallClock::time_point>& time) {
  return time ? Json(FormatUtcTime(*time)) : Json(nullptr);
}

Json AddressJson(const std::string& address) {
  return address.empty() ? Json(nullptr) : Json(address);
}

Json IdJson(const std::optional<DeviceId>& id) {
  return id ? Json(FormatDeviceId(*id)) : Json(nullptr);
}

Json ListedEntry(const ListedDevice& device) {
  const Identification& identity = device.identity;
  return {{"address", AddressJson(device.address)},
          {"answered", identity.result == IdentifyResult::Answered},
          {"type", TypeJson(identity)},
          {"supported", IsSupported(identity)},
          {"id", IdJson(KnownId(identity, device.askedId))},
          {"reason", NameOrNull(ReasonName(device.reason))}};
}

Json UpdateEntry(const DeviceRecord& device) {
  const StepReached& step = device.failedAt;
  const bool failedStep = step.step != DeviceStep::None;
  return {{"address", AddressJson(device.address)},
          {"id", IdJson(KnownId(device.identity, device.askedId))},
          {"type", TypeJson(device.identity)},
          {"result", ResultName(device.result)},
          {"reason", NameOrNull(ReasonName(device.reason))},
          {"failed_step", NameOrNull(StepName(step.step))},
          {"failed_number", step.number ? Json(*step.number) : Json(nullptr)},
          {"failed_step_text", failedStep ? Json(StepText(step)) : Json(nullptr)},
          {"attempts", device.attempts},
          {"failed_cycles", device.failedCycles},
          {"setting_written", device.settingWritten},
          {"started", TimeJson(device.started)},
          {"ended", TimeJson(device.ended)},
          {"seconds", device.seconds}};
}

Json ListDocument(const std::string& command, const ListRun& run,
                  const std::vector<std::string>& notes) {
  Json document = DocumentHead(command, run.started, run.ended);
  Json devices = Json::array();
  size_t answered = 0;
  for (const ListedDevice& device : run.devices) {
    devices.push_back(ListedEntry(device));
    answered += device.identity.result == IdentifyResult::Answered ? 1 : 0;
  }
  document["notes"] = notes;
  document["devices"] = std::move(devices);
  document["totals"] = {{"devices", run.devices.size()}, {"answered", answered}};
  return document;
}

Json UpdateDocument(const UpdateRun& run, const std::vector<std::string>& notes) {
  Json document = DocumentHead("update", run.started, run.ended);
  document["dry_run"] = run.dryRun;
  document["image"] = {
      {"path", run.image.path}, {"size", run.image.size}, {"sha256", run.image.sha256}};
  document["stopped_by"] = run.stoppedBy.empty() ? Json(nullptr) : Json(run.stoppedBy);
  document["notes"] = notes;
  Json devices = Json::array();
  for (const DeviceRecord& device : run.devices) {
    devices.push_back(UpdateEntry(device));
  }
  document["devices"] = std::move(devices);
  const auto count = [&run](DeviceResult result) { return CountResult(run.devices, result); };
  document["totals"] = {{"devices", run.devices.size()},
                        {"updated", count(DeviceResult::Updated)},
                        {"failed", count(DeviceResult::Failed)},
                        {"skipped", count(DeviceResult::Skipped)},
                        {"interrupted", count(DeviceResult::Interrupted)},
                        {"timed_out", count(DeviceResult::TimedOut)}};
  return document;
}

std::string JsonText(const Json& value, int indent) {
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}
