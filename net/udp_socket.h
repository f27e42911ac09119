// UdpSocket: the system calls under the two endpoints, on one IPv4 UDP socket. The platform's
// errors become its results in udp_socket_posix.cpp and udp_socket_win32.cpp and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>

/// An IPv4 address in network order (first part in the lowest-addressed byte, as
/// `ParseDottedQuad` gives it) and a port in host order.
struct UdpAddress {
  uint32_t address = 0;
  uint16_t port = 0;
};

/// One IPv4 datagram socket of the platform, closed when it goes; not copyable. Every call
/// returns a count (of bytes, of ready sockets, of datagrams dropped; 0 for a call that only sets
/// something up) when it succeeds, 0 when the socket's time-out passed (only after
/// `SetTimeouts`), -1 for any other failure, nothing to take on a non-blocking socket included.
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
  /// Makes sends and receives fail at once instead of waiting.
  int SetNonBlocking();
  /// Allows sends to the limited broadcast address.
  int EnableBroadcast();
  /// Gives receives, then sends, a time-out of `milliseconds`.
  int SetTimeouts(int milliseconds);
  /// Binds to any local address and a port that the system chooses, for a socket that stays
  /// unconnected; such a socket hears no port-unreachable reports of its earlier sends.
  int BindAnyPort();
  /// Sends `length` bytes from `data` as one datagram to `to`; the count sent.
  int SendTo(const uint8_t* data, size_t length, const UdpAddress& to);
  /// Makes `peer` the only sender whose datagrams are received.
  int Connect(const UdpAddress& peer);
  /// Takes the next datagram and keeps its first `capacity` bytes (the rest is dropped, not an
  /// error); the count kept, so an empty datagram gives 0 as a time-out does.
  int Receive(uint8_t* buffer, size_t capacity);
  /// Waits at most `milliseconds` (0: not at all) for something to take; 1 when there is.
  int WaitReadable(int milliseconds);
  /// After a `WaitReadable` that gave 1, takes the next datagram or port-unreachable report off
  /// the socket: 1 for a datagram, 0 for a report, -1 when nothing is there.
  int DiscardNext();
  /// Closes the socket; -1 when none is open.
  int Close() {
    const int result = IsOpen() ? CloseSocket(handle_) : -1;
    handle_ = InvalidHandle;
    return result;
  }
  /// True between a successful `Open` and `Close`.
  bool IsOpen() const { return handle_ != InvalidHandle; }

 private:
  // The platform's handle at pointer width; all ones, what either platform gives for a socket
  // that could not be made, is none.
  static constexpr uintptr_t InvalidHandle = ~uintptr_t{0};
  static uintptr_t NewSocket();
  static int CloseSocket(uintptr_t handle);
  uintptr_t handle_ = InvalidHandle;
};
