// SPDX-License-Identifier: Apache-2.0
// The socket that discovery and preparation talk through, and its implementation over a
// DatagramEndpoint.
#pragma once

#include <cstdint>
#include <span>

#include "net/datagram_endpoint.h"

/// Room asked of the system for each answer that torvane-devices' discovery and identification may
/// keep: the system counts a datagram's whole buffer (several hundred bytes on a loopback, up to a
/// page on some network cards), not its 20 bytes.
inline constexpr int BufferBytesPerAnswer = 4096;

/// What discovery and target preparation need of a socket. `EndpointManagementSocket` is the real
/// one; tests and fuzzers play the device behind this interface, recording what is sent. The
/// contracts are those of `DatagramEndpoint`.
class ManagementSocket {
 public:
  virtual ~ManagementSocket() = default;

  /// True when the socket is open (bound to a port that the system chose).
  virtual bool Open() = 0;
  /// Allows sending to 255.255.255.255; false when refused.
  virtual bool EnableBroadcast() = 0;
  /// Sends `datagram` to `port` of `host` (a dotted quad), or of 255.255.255.255 when `host` is
  /// null. Returns the count sent, or -1 (an invalid host text sends nothing).
  virtual int SendDatagram(std::span<const uint8_t> datagram, uint16_t port, const char* host) = 0;
  /// True when a datagram is ready within `seconds`; false after the time-out or a failed wait.
  virtual bool WaitReadable(int seconds) = 0;
  /// As `WaitReadable`, within `milliseconds`. A socket that counts its waits in whole seconds
  /// may leave this one to the seconds, rounded up.
  virtual bool WaitReadableMilliseconds(int milliseconds) {
    return WaitReadable(milliseconds / 1000 + (milliseconds % 1000 > 0 ? 1 : 0));
  }
  /// Takes the next datagram's first `buffer.size()` bytes (the rest is discarded). Returns the
  /// count placed in `buffer`, or -1.
  virtual int ReceiveDatagram(std::span<uint8_t> buffer) = 0;
  /// As `ReceiveDatagram`, and tells who sent it (address and port), `sender` left as it was when
  /// nothing was received.
  virtual int ReceiveDatagramFrom(std::span<uint8_t> buffer, UdpAddress& sender) = 0;
  /// Asks for buffers that hold a burst of `bytes` of datagrams; false when refused.
  virtual bool SetBufferSizes(int bytes) = 0;
  /// Datagrams the system dropped for want of room since `Open`; -1 where it does not tell.
  virtual int DroppedDatagrams() = 0;
  /// Closes the socket; nothing when it is not open.
  virtual void Close() = 0;
};

/// A `ManagementSocket` over one `DatagramEndpoint`, closed at the latest when it is destroyed.
class EndpointManagementSocket final : public ManagementSocket {
 public:
  bool Open() override { return endpoint_.Open(); }
  bool EnableBroadcast() override { return endpoint_.EnableBroadcast(); }
  int SendDatagram(std::span<const uint8_t> datagram, uint16_t port, const char* host) override {
    return endpoint_.SendDatagram(datagram.data(), datagram.size(), port, host);
  }
  bool WaitReadable(int seconds) override { return endpoint_.WaitReadable(seconds); }
  bool WaitReadableMilliseconds(int milliseconds) override {
    return endpoint_.WaitReadableMilliseconds(milliseconds);
  }
  int ReceiveDatagram(std::span<uint8_t> buffer) override {
    return endpoint_.ReceiveDatagram(buffer.data(), buffer.size());
  }
  int ReceiveDatagramFrom(std::span<uint8_t> buffer, UdpAddress& sender) override {
    return endpoint_.ReceiveDatagramFrom(buffer.data(), buffer.size(), sender);
  }
  bool SetBufferSizes(int bytes) override { return endpoint_.SetBufferSizes(bytes); }
  int DroppedDatagrams() override { return endpoint_.DroppedDatagrams(); }
  void Close() override { endpoint_.Close(); }

 private:
  DatagramEndpoint endpoint_;
};
