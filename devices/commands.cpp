// SPDX-License-Identifier: Apache-2.0
// The commands of torvane-devices: list and info over discovery and identification; update over
// its plan and the fleet that runs it.
#include "devices/commands.h"

#include <memory>

#include "devices/device_selection.h"
#include "devices/fleet.h"
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

// The image is read before anything is sent: a bad one touches no device. Says why not.
bool ReadImage(const std::string& path, ImageBuffer& image) {
  switch (LoadImage(image, path)) {
    case ImageLoad::Loaded:
      return true;
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

int UpdateDevices(const DevicesOptions& options, Reporter& reporter) {
  const auto image = std::make_unique<ImageBuffer>();
  if (!ReadImage(options.image, *image)) {
    return ExitUsage;
  }
  const UpdateRun run =
      RunFleet(PlanUpdate(options), *image, {options.setting, options.retries}, reporter);
  reporter.Updates(run);
  const size_t skipped = CountResult(run.devices, DeviceResult::Skipped);
  if (skipped == run.devices.size()) {
    Complain("no device of the supported type answered");
    return ExitFailed;
  }
  return CountResult(run.devices, DeviceResult::Updated) + skipped == run.devices.size()
             ? ExitDone
             : ExitFailed;
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
