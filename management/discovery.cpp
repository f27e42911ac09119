// SPDX-License-Identifier: Apache-2.0
// Discovery: the broadcast request, the answers heard until a silent second, and the utility's
// count of them.
#include "management/discovery.h"

#include <algorithm>
#include <chrono>
#include <climits>

#include "app/console.h"
#include "management/management_datagram.h"

namespace {

using Clock = std::chrono::steady_clock;

// Listening ends after this long without a datagram.
constexpr std::chrono::milliseconds Silence(1000);

// Waits for the next datagram: one second, or less when the overall limit comes first.
bool NextDatagramReady(ManagementSocket& socket, const DiscoveryRequest& request,
                       Clock::time_point deadline) {
  if (request.limitMilliseconds <= 0) {
    return socket.WaitReadable(1);
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 &&
         socket.WaitReadableMilliseconds(static_cast<int>(std::min(left, Silence).count()));
}

}  // namespace

DiscoveryOutcome Discover(ManagementSocket& socket, const DiscoveryRequest& request) {
  DiscoveryOutcome outcome;
  if (!socket.Open()) {
    return outcome;
  }
  outcome.opened = true;
  // Not examined: a refused broadcast shows itself as silence, and the count is then 0.
  socket.EnableBroadcast();
  ManagementDatagram discover{};
  BuildRequest(discover, CmdDiscover);
  socket.SendDatagram(discover, DevicePort, request.broadcast);
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(std::max(request.limitMilliseconds, 0));

  // Listening ends at the first silent second; every datagram, counted or not, restarts it.
  while (NextDatagramReady(socket, request, deadline)) {
    ManagementDatagram reply{};
    const int received = socket.ReceiveDatagram(reply);
    const size_t arrived =
        static_cast<size_t>(std::clamp(received, 0, static_cast<int>(reply.size())));
    if (!IsDiscoveryAnswer(std::span<const uint8_t>(reply.data(), arrived))) {
      continue;
    }
    if (outcome.answers < INT_MAX) {
      ++outcome.answers;
    }
    const AddressBytes address = ReplyDeviceAddress(reply);
    auto& kept = outcome.addresses;
    if (kept.size() < request.keptAddresses &&
        std::find(kept.begin(), kept.end(), address) == kept.end()) {
      kept.push_back(address);
    }
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
    FormatDeviceAddress(outcome.addresses.front(), targetAddress);
  }
  return outcome.answers;
}
