// TransferEndpoint: the UDP socket connected to the device, with fixed time-outs, that carries the
// transfer dialogue.
#pragma once

#include <cstdint>

#include "net/udp_socket.h"

/// A plain blocking IPv4 UDP socket connected to one peer, with fixed send and receive time-outs
/// of 1000 ms. Every operation folds the platform's outcome into one integer and prints nothing.
/// Expects the socket library to have been started. Not copyable; closes a socket it still holds
/// when it goes.
class TransferEndpoint {
 public:
  /// Creates an IPv4 datagram socket (closing any socket the endpoint still held) and sets its
  /// receive and send time-outs to 1000 ms. Returns 1, or 0 when the socket cannot be created or
  /// a time-out cannot be set (the socket is then closed again).
  int Open();

  /// Makes `address` (dotted-quad text read by `ParseDottedQuad`: decimal parts, trailing spaces
  /// allowed) and `port` (host order) the peer and connects the socket to it. Returns 1 when
  /// connected; 0 when the text is not an address or the platform refuses, and the endpoint then
  /// has no peer, so `Send` sends nothing.
  int Connect(const char* address, uint16_t port);

  /// Sends `length` bytes from `data` as one datagram to the peer. Returns the count sent, 0 when
  /// the send timed out, -1 on any other failure, and -1 without sending when there is no peer.
  int Send(const uint8_t* data, int length);

  /// Receives one datagram from the peer into `buffer`, keeping at most `capacity` bytes and
  /// discarding the rest of it. Returns the count kept, 0 when nothing came within 1000 ms or the
  /// datagram was empty, -1 on any other failure.
  int Receive(uint8_t* buffer, int capacity);

  /// Takes every datagram that has already arrived off the socket and drops it. With
  /// `quietMilliseconds` above 0 it also goes on dropping what arrives until that long passes
  /// without a datagram, for at most ten quiet periods in all. Drops at most `DiscardLimit`
  /// datagrams. Returns the count dropped; 0 when none came or the endpoint is not open.
  int DiscardQueued(int quietMilliseconds = 0);

  /// Most datagrams one `DiscardQueued` drops, so a flooding peer cannot hold the transfer there.
  static constexpr int DiscardLimit = 64;

  /// Closes the socket. Returns the platform's result, 0 for success, or -1 when no socket is
  /// open; the endpoint is then not open.
  int Close();

 private:
  static constexpr int TimeoutMilliseconds = 1000;
  UdpSocket socketHandle;
  /// The peer; address 0 while there is none.
  UdpAddress peerAddress;
};
