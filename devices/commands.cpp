// SPDX-License-Identifier: Apache-2.0
// The commands of torvane-devices: list and info over discovery and identification; update over
// its plan and the fleet that runs it.
#include "devices/commands.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "common/sha256.h"
#include "devices/device_selection.h"
#include "devices/fleet.h"
#include "devices/stop_signal.h"
#include "image/image_buffer.h"

namespace {

int ListDevices(const DevicesOptions& options, Reporter& reporter) {
  const auto addresses = FindDevices(options);
  reporter.Devices(addresses ? IdentifyAll(*addresses) : std::vector<ListedDevice>{});
  return addresses && !addresses->empty() ? ExitDone : ExitFailed;
}

int ShowDevice(const DevicesOptions& options, Reporter& reporter) {
  const std::vector<ListedDevice> devices = IdentifyAll(options.addresses);
  reporter.Devices(devices);
  return devices.front().identity.result == IdentifyResult::Answered ? ExitDone : ExitFailed;
}

// The image is read before anything is sent: a bad one touches no device. Says why not. `facts`
// get the bytes taken from the file and their digest.
bool ReadImage(const std::string& path, ImageBuffer& image, ImageFacts& facts) {
  switch (LoadImage(image, path, &facts.size)) {
    case ImageLoad::Loaded: {
      // The buffer holds the file's bytes with the key applied.
      std::vector<uint8_t> bytes(image.bytes.begin(), image.bytes.begin() + facts.size);
      for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] ^= ImageKey[i % ImageKey.size()];
      }
      facts.path = path;
      facts.sha256 = Sha256Hex(bytes);
      return true;
    }
    case ImageLoad::NotFound:
      Complain("cannot open the image '" + path + "'");
      break;
    case ImageLoad::ReadError:
      Complain("cannot read the image '" + path + "'");
      break;
    case ImageLoad::Empty:
      Complain("the image '" + path + "' is empty");
      break;
  }
  return false;
}

// The status of an update's run: a stop's, whatever the devices' results; otherwise done when
// each device was updated or left out for a reason that is no failure (another type or silent
// under --all, updated already).
int UpdateStatus(const UpdateRun& run) {
  if (!run.stoppedBy.empty()) {
    return StopExitStatus(FirstStopCause());
  }
  const auto notFound = [](const DeviceRecord& device) {
    return device.reason == ResultReason::NotSupported || device.reason == ResultReason::NoAnswer;
  };
  const auto fine = [&notFound](const DeviceRecord& device) {
    return device.result == DeviceResult::Updated ||
           (device.result == DeviceResult::Skipped &&
            (notFound(device) || device.reason == ResultReason::AlreadyUpdated));
  };
  if (std::all_of(run.devices.begin(), run.devices.end(), notFound)) {
    Complain("no device of the supported type answered");
    return ExitFailed;
  }
  return std::all_of(run.devices.begin(), run.devices.end(), fine) ? ExitDone : ExitFailed;
}

int UpdateDevices(const DevicesOptions& options, Reporter& reporter) {
  // From now on a stop ends the run in order, with its summary.
  CatchStopRequests();
  const auto image = std::make_unique<ImageBuffer>();
  ImageFacts facts;
  if (!ReadImage(options.image, *image, facts)) {
    return ExitUsage;
  }
  Journal journal;
  if (!options.journal.empty() && !journal.Open(options.journal)) {
    Complain("cannot open the journal '" + options.journal + "'");
    return ExitUsage;
  }
  FleetSettings settings = FleetSettingsOf(options);
  settings.journal = options.journal.empty() ? nullptr : &journal;
  const UpdateRun run = RunFleet(PlanUpdate(options), *image, facts, settings, reporter);
  reporter.Updates(run);
  return UpdateStatus(run);
}

}  // namespace

int RunDevicesCommand(const DevicesOptions& options, Reporter& reporter) {
  switch (options.command) {
    case DevicesCommand::List:
      return ListDevices(options, reporter);
    case DevicesCommand::Info:
      return ShowDevice(options, reporter);
    case DevicesCommand::Update:
      return UpdateDevices(options, reporter);
    case DevicesCommand::None:
      break;
  }
  return ExitUsage;
}
