// SPDX-License-Identifier: Apache-2.0
// Finding devices by broadcast: the outcome of one discovery, and the utility's form of it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/dotted_quad.h"
#include "management/management_socket.h"

/// How to listen: where the request goes, how long at most, and how many addresses to keep.
struct DiscoveryRequest {
  /// A dotted quad to send the request to (a subnet's broadcast address), or null for
  /// 255.255.255.255.
  const char* broadcast = nullptr;
  /// Listening ends at the latest this long after the request; 0 or less: no overall limit.
  int limitMilliseconds = 0;
  /// Distinct addresses kept, in the order their first answer came; further ones are counted only.
  size_t keptAddresses = 1;
};

/// What one discovery heard.
struct DiscoveryOutcome {
  /// False when the socket could not be opened; nothing was then sent and nothing counted.
  bool opened = false;
  /// Every datagram that was an answer, so a device answering twice counts twice.
  int answers = 0;
  /// The announced addresses (reply bytes 4..7), each once, in the order they first came.
  std::vector<AddressBytes> addresses;
};

/// Broadcasts one `CmdDiscover` request through `socket` (opened, broadcast enabled) to port 36 of
/// `request.broadcast`, then receives until a whole second passes without a datagram, or until
/// `request.limitMilliseconds` have passed since the request, and closes the socket. Counts the
/// datagrams that are answers (`IsDiscoveryAnswer`); any other datagram, a short one or a failed
/// receive is ignored but has still restarted the one-second wait. Prints nothing.
DiscoveryOutcome Discover(ManagementSocket& socket, const DiscoveryRequest& request);

/// The utility's discovery: `Discover` to 255.255.255.255 without an overall limit. Returns the
/// count of answers; when it is exactly 1, writes the answer's address into `targetAddress` as
/// "%d.%d.%d.%d", and otherwise leaves the field untouched. When the socket cannot be opened,
/// prints "Socket create error\n", sends nothing and returns 0.
int DiscoverDevice(ManagementSocket& socket, AddressText& targetAddress);
