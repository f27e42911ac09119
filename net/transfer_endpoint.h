// SPDX-License-Identifier: Apache-2.0
// TransferEndpoint: the UDP socket connected to the device, with fixed time-outs, that carries the
// transfer dialogue.
#pragma once

#include <cstdint>

#include "net/udp_socket.h"

/// A blocking IPv4 UDP socket connected to one peer, whose sends and receives time out after
/// 1000 ms. Every call folds the platform's outcome into one integer and prints nothing. Expects
/// the socket library to have been started. Not copyable; closes its socket when it goes.
class TransferEndpoint {
 public:
  /// Creates the socket (closing any socket held before) with its time-outs. Returns 1, or 0 when
  /// it cannot be created or a time-out cannot be set (it is then closed again).
  int Open();
  /// Makes `address` (dotted-quad text as `ParseDottedQuad` reads it) and `port` (host order) the
  /// peer and connects to it. Returns 1 when connected; 0 when the text is no such address or the
  /// platform refuses, and then there is no peer, so `Send` sends nothing.
  int Connect(const char* address, uint16_t port);
  /// Sends `length` bytes from `data` as one datagram to the peer. Returns the count sent, 0 when
  /// the send timed out, -1 on any other failure, and -1 without sending when there is no peer.
  int Send(const uint8_t* data, int length);
  /// Receives one datagram from the peer into `buffer`, keeping at most `capacity` bytes. Returns
  /// the count kept, 0 when nothing came within 1000 ms or the datagram was empty, -1 on any
  /// other failure.
  int Receive(uint8_t* buffer, int capacity);
  /// Drops every datagram that has already arrived and, with `quietMilliseconds` above 0, what
  /// arrives until that long passes without one, for at most ten quiet periods in all and at most
  /// `DiscardLimit` datagrams. Returns the count dropped; 0 when none came or it is not open.
  int DiscardQueued(int quietMilliseconds = 0);
  /// Most datagrams one `DiscardQueued` drops, so a flooding peer cannot hold the transfer there.
  static constexpr int DiscardLimit = 64;
  /// Closes the socket. Returns the platform's result, 0 for success, or -1 when none is open.
  int Close() {
    peer_ = {};
    return socket_.Close();
  }

 private:
  static constexpr int TimeoutMilliseconds = 1000;
  UdpSocket socket_;
  UdpAddress peer_;  // address 0 while there is none
};
