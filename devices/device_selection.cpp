// SPDX-License-Identifier: Apache-2.0
// Discovery, identification, devices by id and the plan of an update for torvane-devices.
#include "devices/device_selection.h"

#include <algorithm>

#include "management/discovery.h"
#include "management/management_socket.h"

namespace {

// Distinct addresses one discovery keeps; further answers are still counted.
constexpr size_t MaxDevices = 1024;

// Whether discovery's `device` may be kept, as `UnusableTarget` says; notes what it refuses and
// an announced address that is not the one the answer came from.
bool Acceptable(const DiscoveredDevice& device, const DevicesOptions& options, Reporter& reporter) {
  const std::string address = FormatAddress(device.address);
  const char* refusal = UnusableTarget(device.address, options.broadcast);
  if (refusal != nullptr) {
    reporter.Note("an answer to discovery from " + address + ", " + refusal + ", is left out");
    return false;
  }
  if (device.announced != device.address) {
    reporter.Note(address + " announced " + FormatAddress(device.announced) +
                  " in its answer to discovery; taken as " + address + ", where it answered from");
  }
  return true;
}

// Notes what the outcome of a discovery says beside its devices.
void NoteDiscovery(const DiscoveryOutcome& outcome, const DevicesOptions& options, size_t kept,
                   Reporter& reporter) {
  const std::string to = options.broadcast.empty() ? "255.255.255.255" : options.broadcast;
  if (!outcome.opened) {
    reporter.Note("cannot open a UDP socket for discovery");
  } else if (!outcome.requestSent) {
    reporter.Note("the discovery request could not be sent to " + to +
                  "; give --broadcast the broadcast address of the devices' subnet, such as "
                  "10.0.0.255");
  } else if (kept == 0) {
    reporter.Note("no device answered the discovery request");
  }
  if (outcome.dropped > 0) {
    reporter.Note("the system dropped " +
                  Counted(static_cast<size_t>(outcome.dropped), "datagram") +
                  " while discovery listened: devices may be missing");
  }
  if (outcome.devices.size() == MaxDevices) {
    reporter.Note("only the first " + std::to_string(MaxDevices) +
                  " devices that answered are kept");
  }
}

// Broadcasts one discovery request as `options` say (`broadcast`, `waitSeconds`, `waitGiven`)
// and returns the addresses that answered from port 36, each once, in numeric order.
std::vector<std::string> FindDevices(const DevicesOptions& options, Reporter& reporter) {
  std::vector<AddressBytes> found;
  DiscoveryRequest request;
  request.broadcast = options.broadcast.empty() ? nullptr : options.broadcast.c_str();
  request.limitMilliseconds = options.waitSeconds * 1000;
  request.listenWholeLimit = options.waitGiven;
  request.keptAddresses = MaxDevices;
  request.bySender = true;
  request.heard = [&](const DiscoveredDevice& device) {
    if (Acceptable(device, options, reporter)) {
      found.push_back(device.address);
      reporter.Discovered(FormatAddress(device.address));
    }
  };
  EndpointManagementSocket socket;
  const DiscoveryOutcome outcome = Discover(socket, request);
  NoteDiscovery(outcome, options, found.size(), reporter);
  std::sort(found.begin(), found.end());
  std::vector<std::string> addresses;
  for (const AddressBytes& address : found) {
    addresses.push_back(FormatAddress(address));
  }
  return addresses;
}

// Asks each of `addresses` who it is, all from one socket, and tells the reporter.
std::vector<ListedDevice> IdentifyAll(const std::vector<std::string>& addresses,
                                      Reporter& reporter) {
  std::vector<ListedDevice> devices;
  EndpointManagementSocket socket;
  const std::vector<Identification> identities = IdentifyDevices(socket, addresses);
  for (size_t i = 0; i < addresses.size(); ++i) {
    const IdentifyResult result = identities[i].result;
    const ResultReason reason = result == IdentifyResult::SocketError ? ResultReason::SocketError
                                : result == IdentifyResult::NoAnswer  ? ResultReason::NoAnswer
                                                                      : ResultReason::None;
    devices.push_back({addresses[i], identities[i], reason, std::nullopt});
    reporter.Identified(devices.back());
  }
  return devices;
}

// `items` without repeats, in their order; notes each item repeated ("10.0.0.7 was named more
// than once; taken once").
template <typename Item, typename Show>
std::vector<Item> TakenOnce(const std::vector<Item>& items, const Show& show, Reporter& reporter) {
  std::vector<Item> once;
  std::vector<Item> noted;
  for (const Item& item : items) {
    if (std::find(once.begin(), once.end(), item) == once.end()) {
      once.push_back(item);
    } else if (std::find(noted.begin(), noted.end(), item) == noted.end()) {
      noted.push_back(item);
      reporter.Note(show(item) + " was named more than once; taken once");
    }
  }
  return once;
}

// The entries of `id` among `identified`: those that answered with it, each marked `DuplicateId`
// when there are several; one entry without address (`NotFound`) when none did.
std::vector<ListedDevice> DevicesWithId(const DeviceId& id,
                                        const std::vector<ListedDevice>& identified) {
  std::vector<ListedDevice> matching;
  for (const ListedDevice& device : identified) {
    if (device.identity.result == IdentifyResult::Answered && device.identity.deviceId == id) {
      matching.push_back(device);
      matching.back().askedId = id;
    }
  }
  for (ListedDevice& device : matching) {
    device.reason = matching.size() > 1 ? ResultReason::DuplicateId : ResultReason::None;
  }
  if (matching.empty()) {
    matching.push_back({"", {}, ResultReason::NotFound, id});
  }
  return matching;
}

// The devices of the ids, after those of the addresses in `selected`, each device once.
void AddDevicesById(const std::vector<DeviceId>& ids, const std::vector<ListedDevice>& identified,
                    std::vector<ListedDevice>& selected, Reporter& reporter) {
  for (const DeviceId& id : ids) {
    for (const ListedDevice& device : DevicesWithId(id, identified)) {
      const auto same =
          std::find_if(selected.begin(), selected.end(), [&device](const ListedDevice& each) {
            return !device.address.empty() && each.address == device.address;
          });
      if (same == selected.end()) {
        selected.push_back(device);
      } else {
        reporter.Note(FormatDeviceId(id) + " is " + device.address + ", named already; taken once");
      }
    }
  }
}

}  // namespace

std::vector<ListedDevice> SelectDevices(const DevicesOptions& options, Reporter& reporter) {
  const auto address = [](const std::string& text) { return text; };
  const std::vector<std::string> named = TakenOnce(options.addresses, address, reporter);
  const std::vector<DeviceId> ids = TakenOnce(options.ids, FormatDeviceId, reporter);
  const bool discovers =
      options.command == DevicesCommand::List || options.all || !options.ids.empty();
  // One identification for all: the addresses named, then those found that were not.
  std::vector<std::string> targets = named;
  for (const std::string& found :
       discovers ? FindDevices(options, reporter) : std::vector<std::string>{}) {
    if (std::find(named.begin(), named.end(), found) == named.end()) {
      targets.push_back(found);
    }
  }
  const std::vector<ListedDevice> identified = IdentifyAll(targets, reporter);
  if (options.command == DevicesCommand::List || options.all) {
    return identified;
  }
  std::vector<ListedDevice> selected(
      identified.begin(), identified.begin() + static_cast<std::ptrdiff_t>(named.size()));
  AddDevicesById(ids, identified, selected, reporter);
  return selected;
}

std::vector<DeviceRecord> PlanUpdate(const DevicesOptions& options, Reporter& reporter) {
  std::vector<DeviceRecord> plan;
  for (const ListedDevice& device : SelectDevices(options, reporter)) {
    DeviceRecord record;
    record.address = device.address;
    record.identity = device.identity;
    record.askedId = device.askedId;
    const bool byId =
        device.reason == ResultReason::NotFound || device.reason == ResultReason::DuplicateId;
    if (byId) {
      record.reason = device.reason;
    } else if (options.all && !IsSupported(device.identity)) {
      record.reason = device.identity.result == IdentifyResult::Answered
                          ? ResultReason::NotSupported
                          : ResultReason::NoAnswer;
    }
    plan.push_back(std::move(record));
  }
  return plan;
}
