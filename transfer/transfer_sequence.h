// SPDX-License-Identifier: Apache-2.0
// The transfer of the image to the device, and TransferLink, the socket and pause it runs on.
#pragma once

#include <cstdint>

#include "image/image_buffer.h"
#include "net/pause.h"
#include "net/transfer_endpoint.h"
#include "transfer/transfer_report.h"

/// What the transfer dialogue needs from the outside world: one connected datagram socket with
/// 1000 ms time-outs, and a pause. `EndpointLink` is the real one; tests and fuzzers play the
/// device through their own.
class TransferLink {
 public:
  virtual ~TransferLink() = default;
  /// Opens a datagram socket with 1000 ms send and receive time-outs; 1, or 0 on failure.
  virtual int Open() = 0;
  /// Connects to `address` (dotted-quad text) and `port`; 1, or 0 when that failed.
  virtual int Connect(const char* address, uint16_t port) = 0;
  /// Sends one datagram; the count sent, 0 on a time-out, -1 on any other failure.
  virtual int Send(const uint8_t* data, int length) = 0;
  /// Receives one datagram, at most `capacity` bytes of it; the count, 0 on a time-out or an
  /// empty datagram, -1 on any other failure.
  virtual int Receive(uint8_t* buffer, int capacity) = 0;
  /// Drops every reply that has already arrived, and with `quietMilliseconds` above 0 also what
  /// arrives until that long passes without a reply (bounded by the endpoint). Called before each
  /// datagram that expects an answer: a reply that came before the datagram went out cannot
  /// answer it.
  virtual void DiscardQueuedReplies(int quietMilliseconds) = 0;
  /// Closes the socket; the platform's result.
  virtual int Close() = 0;
  /// Blocks for about `milliseconds` ms.
  virtual void Pause(int milliseconds) = 0;
};

/// A `TransferLink` over a caller's `TransferEndpoint` and the platform's pause. Each transfer
/// that runs beside or after another gets an endpoint of its own.
class EndpointLink final : public TransferLink {
 public:
  explicit EndpointLink(TransferEndpoint& endpoint) : endpoint_(endpoint) {}
  int Open() override { return endpoint_.Open(); }
  int Connect(const char* address, uint16_t port) override {
    return endpoint_.Connect(address, port);
  }
  int Send(const uint8_t* data, int length) override { return endpoint_.Send(data, length); }
  int Receive(uint8_t* buffer, int capacity) override {
    return endpoint_.Receive(buffer, capacity);
  }
  void DiscardQueuedReplies(int quietMilliseconds) override {
    endpoint_.DiscardQueued(quietMilliseconds);
  }
  int Close() override { return endpoint_.Close(); }
  void Pause(int milliseconds) override { PauseMilliseconds(milliseconds); }

 private:
  TransferEndpoint& endpoint_;
};

/// Sends `image` to the device at `target` (dotted-quad text, handed unchanged to
/// `TransferReport::Started`) over `link`: pause 500 ms, open, connect to port 36, the opening
/// "S", ten probes, then up to 30 cycles of erase, program and verify, each block sent as a
/// scrambled `BlockRecord` and tried up to 5 times, and the finish "R"; then five closing "R"
/// 10 ms apart and close. Tells `report` each step as it goes; prints nothing. Returns 1 when
/// every block was programmed and then verified, 0 otherwise: when opening fails (nothing sent),
/// when the device does not answer the opening or a probe, or after 30 failed cycles. An image
/// whose size is not a whole number of blocks between 1 and `ImageCapacity` bytes, or a null
/// `target`, is refused with 0 before anything is opened, reported or sent, so an empty image
/// never erases a device.
int RunTransferSequence(TransferLink& link, const ImageBuffer& image, const char* target,
                        TransferReport& report);
