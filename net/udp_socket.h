// SPDX-License-Identifier: Apache-2.0
// UdpSocket: the system calls under the two endpoints, on one IPv4 UDP socket. The platform's
// errors become its results in udp_socket_posix.cpp and udp_socket_win32.cpp and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>

/// An IPv4 address in network order, as `ParseDottedQuad` gives it, and a port in host order.
struct UdpAddress {
  uint32_t address = 0;
  uint16_t port = 0;
};

/// One IPv4 datagram socket of the platform, closed when it goes; not copyable. Each call returns
/// a count on success (0 for a call that only sets something up), 0 when a time-out of
/// `SetTimeouts` passed, and -1 on any other failure, a non-blocking socket's nothing to take
/// included. Arguments are the caller's to check.
class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket() { Close(); }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  /// Creates the socket, closing any socket held before.
  int Open() {
    Close();
    handle_ = NewSocket();
    return IsOpen() ? 0 : -1;
  }
  /// Makes receives fail at once instead of waiting, and binds to any local address and a port
  /// that the system chooses; unconnected, the socket hears no port-unreachable reports.
  int BindNonBlocking();
  /// Gives receives and sends a time-out of `milliseconds`.
  int SetTimeouts(int milliseconds);
  /// Allows sends to the limited broadcast address.
  int EnableBroadcast();
  /// Makes `peer` the only sender whose datagrams are received.
  int Connect(const UdpAddress& peer);
  /// Sends `length` bytes from `data` as one datagram to `to`.
  int SendTo(const uint8_t* data, size_t length, const UdpAddress& to);
  /// Takes the next datagram and keeps its first `capacity` bytes, dropping the rest.
  int Receive(uint8_t* buffer, size_t capacity);
  /// As `Receive`, and tells who sent the datagram; `sender` is left as it was on a failure.
  int ReceiveFrom(uint8_t* buffer, size_t capacity, UdpAddress& sender);
  /// Asks for receive and send buffers of `bytes` each: beyond the system's limit where the
  /// process may (Linux: as root), else up to that limit. 0 when both were set, at whatever size
  /// the system granted; -1 when either could not be set at all.
  int SetBufferSizes(int bytes);
  /// The count of datagrams that the system dropped on their way into this socket since it was
  /// made (Linux: for want of room in its receive buffer); -1 where the platform does not tell.
  int DroppedCount();
  /// Waits at most `milliseconds` (0 or more) for something to take; 1 when there is.
  int WaitReadable(int milliseconds);
  /// After a `WaitReadable` that gave 1, takes the next datagram (1) or port-unreachable report
  /// (0) off the socket.
  int DiscardNext();
  /// Closes the socket; -1 when none is open.
  int Close() {
    const int result = IsOpen() ? CloseSocket(handle_) : -1;
    handle_ = InvalidHandle;
    return result;
  }
  bool IsOpen() const { return handle_ != InvalidHandle; }

 private:
  // The platform's handle at pointer width; all ones, what either platform gives for a socket
  // that could not be made, is none.
  static constexpr uintptr_t InvalidHandle = ~uintptr_t{0};
  static uintptr_t NewSocket();
  static int CloseSocket(uintptr_t handle);
  uintptr_t handle_ = InvalidHandle;
};
