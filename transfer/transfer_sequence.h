// The transfer of the image to the device, and TransferLink, the socket and pause it runs on.
#pragma once

#include <cstdint>

#include "image/image_buffer.h"

/// What the transfer dialogue needs from the outside world: one connected datagram socket with
/// 1000 ms time-outs, and a pause. The program's implementation is its static `TransferEndpoint`;
/// tests and fuzzers play the device through their own.
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

/// Sends `image` to the device at `target` (dotted-quad text, printed unchanged in the "Updating"
/// line) over `link`: pause 500 ms, open, connect to port 36, the opening "S", ten probes, then up
/// to 30 cycles of erase, program and verify, each block sent as a scrambled `BlockRecord` and
/// tried up to 5 times, and the finish "R"; then five closing "R" 10 ms apart and close. Draws its
/// progress with `ConsolePrint`. Returns 1 when every block was programmed and then verified, 0
/// otherwise: when opening fails (nothing printed or sent), when the device does not answer the
/// opening or a probe (only the "Updating" line printed), or after 30 failed cycles. An image
/// whose size is not a whole number of blocks between 1 and `ImageCapacity` bytes, or a null
/// `target`, is refused with 0 before anything is opened, printed or sent, so an empty image never
/// erases a device.
int RunTransferSequence(TransferLink& link, const ImageBuffer& image, const char* target);

/// The program's transfer: `RunTransferSequence` over the program's one static
/// `TransferEndpoint` with the platform's pause, sending the global `imageBuffer`.
int RunTransferSequence(const char* target);
