// SPDX-License-Identifier: Apache-2.0
// Discovery, identification and the plan of an update for torvane-devices.
#include "devices/device_selection.h"

#include <algorithm>

#include "management/discovery.h"
#include "management/management_socket.h"

namespace {

// Distinct addresses one discovery keeps; further answers are still counted.
constexpr size_t MaxDevices = 1024;

}  // namespace

std::optional<std::vector<std::string>> FindDevices(const DevicesOptions& options) {
  DiscoveryRequest request;
  request.broadcast = options.broadcast.empty() ? nullptr : options.broadcast.c_str();
  request.limitMilliseconds = options.waitSeconds * 1000;
  request.keptAddresses = MaxDevices;
  EndpointManagementSocket socket;
  DiscoveryOutcome outcome = Discover(socket, request);
  if (!outcome.opened) {
    Complain("cannot open a UDP socket");
    return std::nullopt;
  }
  if (outcome.addresses.size() == MaxDevices) {
    Complain("only the first " + std::to_string(MaxDevices) + " devices that answered are kept");
  }
  std::sort(outcome.addresses.begin(), outcome.addresses.end());
  std::vector<std::string> addresses;
  for (const AddressBytes& address : outcome.addresses) {
    addresses.push_back(FormatAddress(address));
  }
  if (addresses.empty()) {
    Complain("no device answered the discovery request");
  }
  return addresses;
}

std::vector<ListedDevice> IdentifyAll(const std::vector<std::string>& addresses) {
  std::vector<ListedDevice> devices;
  for (const std::string& address : addresses) {
    EndpointManagementSocket socket;
    const Identification identity = IdentifyDevice(socket, address.c_str());
    const ResultReason reason =
        identity.result == IdentifyResult::SocketError ? ResultReason::SocketError
        : identity.result == IdentifyResult::NoAnswer  ? ResultReason::NoAnswer
                                                       : ResultReason::None;
    devices.push_back({address, identity, reason});
  }
  return devices;
}

std::vector<DeviceRecord> PlanUpdate(const DevicesOptions& options) {
  std::vector<DeviceRecord> plan;
  if (!options.all) {
    for (const std::string& address : options.addresses) {
      DeviceRecord record;
      record.address = address;
      plan.push_back(std::move(record));
    }
    return plan;
  }
  const auto found = FindDevices(options);
  for (const ListedDevice& device : IdentifyAll(found.value_or(std::vector<std::string>{}))) {
    DeviceRecord record;
    record.address = device.address;
    record.identity = device.identity;
    if (!IsSupported(device.identity)) {
      record.reason =
          device.reason == ResultReason::None ? ResultReason::NotSupported : ResultReason::NoAnswer;
    }
    plan.push_back(std::move(record));
  }
  return plan;
}
