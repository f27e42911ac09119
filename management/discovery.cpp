// SPDX-License-Identifier: Apache-2.0
// Discovery: the broadcast request, the answers heard until a silent second, and the utility's
// count of them.
#include "management/discovery.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>

#include "app/console.h"
#include "management/management_datagram.h"

namespace {

using Clock = std::chrono::steady_clock;

// Listening ends after this long without a datagram.
constexpr std::chrono::milliseconds Silence(1000);

// Waits for the next datagram: one second, or less when the overall limit comes first; with
// `listenWholeLimit`, until the limit, however long nothing comes.
bool NextDatagramReady(ManagementSocket& socket, const DiscoveryRequest& request,
                       Clock::time_point deadline) {
  if (request.limitMilliseconds <= 0) {
    return socket.WaitReadable(1);
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  const auto wait = request.listenWholeLimit ? left : std::min(left, Silence);
  return left.count() > 0 && socket.WaitReadableMilliseconds(static_cast<int>(wait.count()));
}

// Takes the next datagram; the device it names when it is an answer: the address it announces,
// or with `bySender` its sender when that is port 36. Nothing for any other datagram.
std::optional<DiscoveredDevice> ReceiveAnswer(ManagementSocket& socket,
                                              const DiscoveryRequest& request) {
  ManagementDatagram reply{};
  UdpAddress sender;
  // The utility never asks who sent a datagram.
  const int received =
      request.bySender ? socket.ReceiveDatagramFrom(reply, sender) : socket.ReceiveDatagram(reply);
  const size_t arrived =
      static_cast<size_t>(std::clamp(received, 0, static_cast<int>(reply.size())));
  if (!IsDiscoveryAnswer(std::span<const uint8_t>(reply.data(), arrived)) ||
      (request.bySender && sender.port != DevicePort)) {
    return std::nullopt;
  }
  DiscoveredDevice device{ReplyDeviceAddress(reply), ReplyDeviceAddress(reply)};
  if (request.bySender) {
    std::memcpy(device.address.data(), &sender.address, device.address.size());
  }
  return device;
}

// Keeps `device` unless it is kept already or there is no more room.
void Keep(DiscoveryOutcome& outcome, const DiscoveryRequest& request,
          const DiscoveredDevice& device) {
  auto& kept = outcome.devices;
  const bool known = std::any_of(kept.begin(), kept.end(), [&device](const DiscoveredDevice& each) {
    return each.address == device.address;
  });
  if (known || kept.size() >= request.keptAddresses) {
    return;
  }
  kept.push_back(device);
  if (request.heard) {
    request.heard(device);
  }
}

}  // namespace

DiscoveryOutcome Discover(ManagementSocket& socket, const DiscoveryRequest& request) {
  DiscoveryOutcome outcome;
  if (!socket.Open()) {
    return outcome;
  }
  outcome.opened = true;
  if (request.bySender) {
    const size_t room = std::min<size_t>(request.keptAddresses, INT_MAX / BufferBytesPerAnswer);
    socket.SetBufferSizes(static_cast<int>(room) * BufferBytesPerAnswer);
  }
  // Not examined here: a refused broadcast shows itself as silence, and the count is then 0.
  socket.EnableBroadcast();
  ManagementDatagram discover{};
  BuildRequest(discover, CmdDiscover);
  outcome.requestSent = socket.SendDatagram(discover, DevicePort, request.broadcast) ==
                        static_cast<int>(discover.size());
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(std::max(request.limitMilliseconds, 0));

  // Listening ends at the first silent second; every datagram, counted or not, restarts it.
  while (NextDatagramReady(socket, request, deadline)) {
    const std::optional<DiscoveredDevice> device = ReceiveAnswer(socket, request);
    if (!device) {
      continue;
    }
    if (outcome.answers < INT_MAX) {
      ++outcome.answers;
    }
    Keep(outcome, request, *device);
  }
  if (request.bySender) {
    outcome.dropped = socket.DroppedDatagrams();
  }
  socket.Close();
  return outcome;
}

int DiscoverDevice(ManagementSocket& socket, AddressText& targetAddress) {
  const DiscoveryOutcome outcome = Discover(socket, DiscoveryRequest{});
  if (!outcome.opened) {
    ConsolePrint("Socket create error\n");
    return 0;
  }
  if (outcome.answers == 1) {
    FormatDeviceAddress(outcome.devices.front().address, targetAddress);
  }
  return outcome.answers;
}
