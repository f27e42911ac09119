// SPDX-License-Identifier: Apache-2.0
// DatagramEndpoint: the unconnected UDP socket that carries the management datagrams.
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>

#include "net/udp_socket.h"

/// An unconnected IPv4 UDP socket for the management datagrams: each management operation opens
/// one, sends, waits for and receives datagrams, and closes it (at the latest on destruction).
/// It prints nothing; every failure, that of a call on a closed endpoint included, shows in the
/// result alone. Not copyable.
class DatagramEndpoint {
 public:
  /// Creates the socket, closing any socket held before, and binds it to any local address and a
  /// port that the system chooses. False when it cannot be created or bound; it is then closed.
  bool Open();
  /// Allows sending to the limited broadcast address; false when the option cannot be set.
  bool EnableBroadcast() { return IsOpen() && socket_.EnableBroadcast() == 0; }
  /// Sends `length` bytes from `data` as one datagram to `port` (host order) of `host`, a dotted
  /// quad as `ParseDottedQuad` reads it (no name lookup), or without a host (`nullptr`) to
  /// 255.255.255.255, which needs `EnableBroadcast` first. Returns the count sent, or -1 when the
  /// host text is no such address (nothing is sent) or the send fails.
  int SendDatagram(const uint8_t* data, size_t length, uint16_t port, const char* host);
  /// Waits at most `seconds` (negative counts as 0) for a datagram to be ready, one that came
  /// before the call included. True when one is; false when the time passed or the wait failed.
  bool WaitReadable(int seconds) {
    return WaitReadableMilliseconds(std::clamp(seconds, 0, INT_MAX / 1000) * 1000);
  }
  /// As `WaitReadable`, for at most `milliseconds` (negative counts as 0).
  bool WaitReadableMilliseconds(int milliseconds) {
    return IsOpen() && socket_.WaitReadable(std::max(milliseconds, 0)) > 0;
  }
  /// Takes the next datagram into `buffer`, without asking for its sender; of a longer one the
  /// first `capacity` bytes, the rest discarded. Returns the count placed in `buffer`, or -1 when
  /// nothing could be received: it never blocks.
  int ReceiveDatagram(uint8_t* buffer, size_t capacity) {
    return IsOpen() ? socket_.Receive(buffer, capacity) : -1;
  }
  /// As `ReceiveDatagram`, and tells who sent the datagram: its address and port in `sender`,
  /// left as it was when nothing was received.
  int ReceiveDatagramFrom(uint8_t* buffer, size_t capacity, UdpAddress& sender) {
    return IsOpen() ? socket_.ReceiveFrom(buffer, capacity, sender) : -1;
  }
  /// Asks for receive and send buffers of `bytes` each, so that a burst of that many bytes of
  /// datagrams is kept; false when the system refused. What it grants may be less (up to its
  /// limit, beyond it only for root on Linux).
  bool SetBufferSizes(int bytes) { return IsOpen() && socket_.SetBufferSizes(bytes) == 0; }
  /// How many datagrams the system dropped for want of room since `Open`; -1 where it does not
  /// tell (Windows) or when not open.
  int DroppedDatagrams() { return IsOpen() ? socket_.DroppedCount() : -1; }
  /// Closes the socket; does nothing when it is not open.
  void Close() { socket_.Close(); }
  /// True between a successful `Open` and `Close`.
  bool IsOpen() const { return socket_.IsOpen(); }

 private:
  UdpSocket socket_;
};
