// SPDX-License-Identifier: Apache-2.0
// The commands of torvane-devices: list and info over the selection of devices; update over its
// plan and the fleet that runs it, or a dry run of the plan; and the statuses they end with.
#include "devices/commands.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "common/sha256.h"
#include "common/text_format.h"
#include "devices/device_selection.h"
#include "devices/fleet.h"
#include "devices/journal.h"
#include "devices/stop_signal.h"
#include "image/image_buffer.h"

namespace {

int ListDevices(const DevicesOptions& options, Reporter& reporter) {
  ListRun run{WallClock::now(), {}, SelectDevices(options, reporter)};
  run.ended = WallClock::now();
  reporter.Devices(run);
  const bool allAnswered =
      std::all_of(run.devices.begin(), run.devices.end(),
                  [](const ListedDevice& device) { return device.reason == ResultReason::None; });
  // list asks for whatever answers discovery; info for every device it names.
  const bool done = options.command == DevicesCommand::List ? !run.devices.empty() : allAnswered;
  return done ? ExitDone : ExitFailed;
}

// The image is read before anything is sent: a bad one touches no device. Says why not.
std::optional<ImageFacts> ReadImage(const std::string& path, ImageBuffer& image) {
  ImageLoadFacts facts;
  const ImageLoad load = LoadImage(image, path, &facts);
  const std::string shown = QuotedText(path);
  const std::string why = facts.error != 0 ? std::string(": ") + std::strerror(facts.error) : "";
  switch (load) {
    case ImageLoad::Loaded:
      break;
    case ImageLoad::NotFound:
      Complain("cannot open the image " + shown + why);
      return std::nullopt;
    case ImageLoad::ReadError:
      Complain("cannot read the image " + shown + why);
      return std::nullopt;
    case ImageLoad::Empty:
      Complain("the image " + shown + " is empty");
      return std::nullopt;
  }
  // The file's own bytes: the buffer holds them with the key applied.
  std::vector<uint8_t> bytes(image.bytes.begin(),
                             image.bytes.begin() + static_cast<std::ptrdiff_t>(facts.fileBytes));
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] ^= ImageKey[i % ImageKey.size()];
  }
  return ImageFacts{path, facts.fileBytes, Sha256Hex(bytes)};
}

// What the real run would do to each device of `plan` at its identification, as a dry run says
// it: a device of the supported type would be updated (`DryRun`); one named by address or id that
// did not answer or is of another type would fail there. Tells the reporter of each in turn.
void DryRun(std::vector<DeviceRecord>& plan, Reporter& reporter) {
  for (DeviceRecord& record : plan) {
    const IdentifyResult identified = record.identity.result;
    if (record.reason != ResultReason::None || IsSupported(record.identity)) {
      record.reason = record.reason == ResultReason::None ? ResultReason::DryRun : record.reason;
      record.result = DeviceResult::Skipped;
      reporter.DeviceSkipped(record);
      continue;
    }
    record.result = DeviceResult::Failed;
    record.reason = identified == IdentifyResult::SocketError ? ResultReason::SocketError
                    : identified == IdentifyResult::NoAnswer  ? ResultReason::NoAnswer
                                                              : ResultReason::WrongType;
    record.failedAt.step = identified == IdentifyResult::SocketError ? DeviceStep::Socket
                           : identified == IdentifyResult::NoAnswer  ? DeviceStep::Identify
                                                                     : DeviceStep::DeviceType;
    reporter.DeviceDone(record);
  }
}

// A device that was not done as asked: it failed, timed out or was interrupted, or it was left
// out for a reason that is not its own (not found, a shared id, the canary, the failure limit, a
// stop).
bool Failed(const DeviceRecord& device) {
  const ResultReason failures[] = {ResultReason::NotFound, ResultReason::DuplicateId,
                                   ResultReason::CanaryFailed, ResultReason::MaxFailed,
                                   ResultReason::Interrupted};
  return device.result == DeviceResult::Skipped
             ? std::find(std::begin(failures), std::end(failures), device.reason) !=
                   std::end(failures)
             : device.result != DeviceResult::Updated;
}

// A device that is as asked: updated, already updated, or would be updated.
bool Done(const DeviceRecord& device) {
  return device.result == DeviceResult::Updated || device.reason == ResultReason::AlreadyUpdated ||
         device.reason == ResultReason::DryRun;
}

// With --skip-updated: leaves out each device of the plan whose id the journal at `path` has as
// updated with the image of SHA-256 `sha256`. Identification gave the ids, before anything else
// was sent.
void LeaveOutUpdated(std::vector<DeviceRecord>& plan, const std::string& path,
                     const std::string& sha256) {
  const std::set<std::string> updated = ReadUpdatedIds(path, sha256);
  for (DeviceRecord& record : plan) {
    if (record.reason == ResultReason::None && record.identity.result == IdentifyResult::Answered &&
        updated.contains(FormatDeviceId(record.identity.deviceId))) {
      record.reason = ResultReason::AlreadyUpdated;
    }
  }
}

int UpdateDevices(const DevicesOptions& options, Reporter& reporter) {
  // From now on a stop ends the run in order, with its summary.
  CatchStopRequests();
  const WallClock::time_point started = WallClock::now();
  const auto image = std::make_unique<ImageBuffer>();
  const std::optional<ImageFacts> facts = ReadImage(options.image, *image);
  if (!facts) {
    return ExitUsage;
  }
  // Opened before anything is sent, so that a journal that cannot be written touches no device.
  Journal journal;
  const bool journaled = !options.journal.empty() && !options.dryRun;
  if (journaled && !journal.Open(options.journal)) {
    Complain("cannot open the journal " + QuotedText(options.journal));
    return ExitUsage;
  }
  std::vector<DeviceRecord> plan = PlanUpdate(options, reporter);
  if (options.skipUpdated) {
    LeaveOutUpdated(plan, options.journal, facts->sha256);
  }
  UpdateRun run;
  if (options.dryRun) {
    DryRun(plan, reporter);
    run.devices = std::move(plan);
  } else {
    FleetSettings settings = FleetSettingsOf(options);
    settings.journal = journaled ? &journal : nullptr;
    run.devices = RunFleet(std::move(plan), *image, *facts, settings, reporter);
  }
  run.started = started;
  run.image = *facts;
  run.dryRun = options.dryRun;
  run.stoppedBy = StopCauseName(FirstStopCause());
  const bool failed = std::any_of(run.devices.begin(), run.devices.end(), Failed);
  const bool done = std::any_of(run.devices.begin(), run.devices.end(), Done);
  if (!failed && !done) {
    reporter.Note("no device of the supported type answered");
  }
  // After the last note: its event is part of the run.
  run.ended = WallClock::now();
  reporter.Updates(run);
  // A stop's status, whatever the devices' results.
  if (!run.stoppedBy.empty()) {
    return StopExitStatus(FirstStopCause());
  }
  return failed || !done ? ExitFailed : ExitDone;
}

}  // namespace

int RunDevicesCommand(const DevicesOptions& options, Reporter& reporter) {
  switch (options.command) {
    case DevicesCommand::List:
    case DevicesCommand::Info:
      return ListDevices(options, reporter);
    case DevicesCommand::Update:
      return UpdateDevices(options, reporter);
    case DevicesCommand::None:
      break;
  }
  return ExitUsage;
}
