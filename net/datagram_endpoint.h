// DatagramEndpoint: the unconnected UDP socket that carries the management datagrams.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/udp_socket.h"

/// An unconnected IPv4 UDP socket for the management datagrams, used synchronously: each
/// management operation opens one, sends, waits for and receives datagrams, and closes it before
/// it returns. The endpoint prints nothing; every failure is reported by its result alone. The
/// socket is closed on destruction, so it is closed on every path. Not copyable.
class DatagramEndpoint {
 public:
  /// Creates the socket and binds it to any local address and a port that the system chooses.
  /// Returns true when open; false when the socket cannot be created or bound, and then the
  /// endpoint is not open. Opening an endpoint that is already open closes the old socket first.
  bool Open();

  /// Allows sending to the limited broadcast address. True unless the option cannot be set (or
  /// the endpoint is not open).
  bool EnableBroadcast();

  /// Sends `length` bytes from `data` as one datagram to `port` (host order) of `host`, which must
  /// be a dotted quad as `ParseDottedQuad` reads it (decimal parts, trailing spaces allowed; no
  /// name lookup). Without a host (`nullptr`) the datagram goes to 255.255.255.255, which needs
  /// `EnableBroadcast` first. Returns the count of bytes sent, or -1 when the host text is not a
  /// dotted quad (nothing is sent), the endpoint is not open or the system refuses the send.
  int SendDatagram(const uint8_t* data, size_t length, uint16_t port, const char* host);

  /// Waits at most `seconds` whole seconds (negative counts as 0) for a datagram to be ready.
  /// True as soon as one is ready, including one that arrived before the call; false when the time
  /// passed without one, when the wait itself fails or when the endpoint is not open.
  bool WaitReadable(int seconds);

  /// As `WaitReadable`, for at most `milliseconds` (negative counts as 0).
  bool WaitReadableMilliseconds(int milliseconds);

  /// Takes the next datagram into `buffer`, without asking for its sender. A datagram longer than
  /// `capacity` yields its first `capacity` bytes and the rest of it is discarded (not an error).
  /// Returns the count of bytes placed in `buffer` (at most `capacity`), or -1 when nothing could
  /// be received (no datagram ready: it never blocks; or the endpoint is not open).
  int ReceiveDatagram(uint8_t* buffer, size_t capacity);

  /// Closes the socket; does nothing when the endpoint is not open.
  void Close();

  /// True between a successful `Open` and `Close`.
  bool IsOpen() const { return socketHandle.IsOpen(); }

 private:
  UdpSocket socketHandle;
};
