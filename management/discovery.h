// SPDX-License-Identifier: Apache-2.0
// Finding devices by broadcast: the outcome of one discovery, and the utility's form of it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "common/dotted_quad.h"
#include "management/management_socket.h"

/// A device that answered discovery: the address it is kept under, and the address it announced
/// in its answer (bytes 4..7). The two differ only in torvane-devices' discovery by sender.
struct DiscoveredDevice {
  AddressBytes address{};
  AddressBytes announced{};
};

/// How to listen: where the request goes, how long at most, how many devices to keep, and how
/// far to trust an answer.
struct DiscoveryRequest {
  /// A dotted quad to send the request to (a subnet's broadcast address), or null for
  /// 255.255.255.255.
  const char* broadcast = nullptr;
  /// Listening ends at the latest this long after the request; 0 or less: no overall limit.
  int limitMilliseconds = 0;
  /// Listen until `limitMilliseconds` whatever comes, instead of ending at the first silent second.
  bool listenWholeLimit = false;
  /// Distinct devices kept, in the order their first answer came; further ones are counted only.
  size_t keptAddresses = 1;
  /// torvane-devices' discovery: a device is the sender of an answer that came from port 36, kept
  /// under the sender's address; the socket gets buffers for `keptAddresses` answers, and the
  /// datagrams that the system dropped are counted. Otherwise (the utility) a device is the
  /// address its answer announces, from whoever it came.
  bool bySender = false;
  /// Told of each device as it is kept, while listening goes on; may be empty.
  std::function<void(const DiscoveredDevice&)> heard;
};

/// What one discovery heard.
struct DiscoveryOutcome {
  /// False when the socket could not be opened; nothing was then sent and nothing counted.
  bool opened = false;
  /// True when the system took the request for sending. The utility does not look: for it a
  /// refused broadcast shows itself as silence.
  bool requestSent = false;
  /// Every datagram that was an answer, so a device answering twice counts twice.
  int answers = 0;
  /// The devices, each once, in the order they first answered.
  std::vector<DiscoveredDevice> devices;
  /// `bySender`: the datagrams that the system dropped for want of room (answers lost), or -1
  /// where it does not tell; always -1 otherwise.
  int dropped = -1;
};

/// Broadcasts one `CmdDiscover` request through `socket` (opened, broadcast enabled) to port 36 of
/// `request.broadcast`, then receives until a whole second passes without a datagram (unless
/// `request.listenWholeLimit`), or until `request.limitMilliseconds` have passed since the
/// request, and closes the socket. Counts the datagrams that are answers (`IsDiscoveryAnswer`,
/// and with `bySender` from port 36); any other datagram, a short one or a failed receive is
/// ignored but has still restarted the one-second wait. Prints nothing.
DiscoveryOutcome Discover(ManagementSocket& socket, const DiscoveryRequest& request);

/// The utility's discovery: `Discover` to 255.255.255.255 without an overall limit. Returns the
/// count of answers; when it is exactly 1, writes the answer's address into `targetAddress` as
/// "%d.%d.%d.%d", and otherwise leaves the field untouched. When the socket cannot be opened,
/// prints "Socket create error\n", sends nothing and returns 0.
int DiscoverDevice(ManagementSocket& socket, AddressText& targetAddress);
