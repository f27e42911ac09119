// Finding the device by broadcast when no address was given.
#pragma once

#include "management/management_socket.h"
#include "net/dotted_quad.h"

/// Finds the device by broadcast: opens `socket`, enables broadcast, sends one `CmdDiscover`
/// request to port 36 of 255.255.255.255, then receives until a whole second passes without a
/// datagram (there is no overall limit), and closes the socket. Counts the datagrams that are
/// answers (`IsDiscoveryAnswer`); any other datagram, a short one or a failed receive is ignored
/// but has still restarted the one-second wait. Returns the count; when it is exactly 1, writes
/// the answer's address (reply bytes 4..7) into `targetAddress` as "%d.%d.%d.%d", and otherwise
/// leaves the field untouched. When the socket cannot be opened, prints "Socket create error\n",
/// sends nothing and returns 0.
int DiscoverDevice(ManagementSocket& socket, AddressText& targetAddress);

/// `DiscoverDevice` over a `DatagramEndpoint` that lives for this call.
int DiscoverDevice(AddressText& targetAddress);
