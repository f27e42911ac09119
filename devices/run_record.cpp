// SPDX-License-Identifier: Apache-2.0
// The fixed names of results, reasons and steps, and what is read off a run's records.
#include "devices/run_record.h"

#include <algorithm>

const char* ResultName(DeviceResult result) {
  // In the order of DeviceResult.
  constexpr const char* Names[] = {"updated", "failed", "skipped", "interrupted", "timed_out"};
  return Names[static_cast<int>(result)];
}

const char* ReasonName(ResultReason reason) {
  // In the order of ResultReason.
  constexpr const char* Names[] = {
      nullptr,           "socket_error",  "no_answer", "wrong_type",    "transfer_failed",
      "already_updated", "not_supported", "not_found", "duplicate_id",  "canary_failed",
      "max_failed",      "interrupted",   "dry_run",   "device_timeout"};
  return Names[static_cast<int>(reason)];
}

const char* StepName(DeviceStep step) {
  // In the order of DeviceStep.
  constexpr const char* Names[] = {nullptr, "socket", "identify",   "device_type", "opening",
                                   "probe", "erase",  "erase_wait", "program",     "verify"};
  return Names[static_cast<int>(step)];
}

std::string StepText(const StepReached& reached) {
  // In the order of DeviceStep: a block's number reads "block 5", a probe's "3".
  constexpr const char* Texts[] = {
      "",      "socket", "identify",   "device type",   "opening",
      "probe", "erase",  "erase wait", "program block", "verify block"};
  const std::string text = Texts[static_cast<int>(reached.step)];
  return reached.number ? text + " " + std::to_string(*reached.number) : text;
}

StepReached TransferStepReached(const TransferFailure& failure) {
  switch (failure.step) {
    case TransferStep::Socket:
      return {DeviceStep::Socket, std::nullopt};
    case TransferStep::Opening:
      return {DeviceStep::Opening, std::nullopt};
    case TransferStep::Probe:
      return {DeviceStep::Probe, failure.number};
    case TransferStep::Erase:
      return {DeviceStep::Erase, std::nullopt};
    case TransferStep::EraseWait:
      return {DeviceStep::EraseWait, std::nullopt};
    case TransferStep::Program:
      return {DeviceStep::Program, failure.number};
    case TransferStep::Verify:
      return {DeviceStep::Verify, failure.number};
  }
  return {};
}

size_t CountResult(const std::vector<DeviceRecord>& devices, DeviceResult result) {
  return static_cast<size_t>(
      std::count_if(devices.begin(), devices.end(),
                    [result](const DeviceRecord& device) { return device.result == result; }));
}

std::optional<DeviceId> KnownId(const Identification& identity,
                                const std::optional<DeviceId>& askedId) {
  return identity.result == IdentifyResult::Answered ? identity.deviceId : askedId;
}
