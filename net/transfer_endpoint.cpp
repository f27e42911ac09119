// SPDX-License-Identifier: Apache-2.0
// TransferEndpoint on UdpSocket: its checks, its peer and its discarding, the same on every
// platform.
#include "net/transfer_endpoint.h"

#include <algorithm>
#include <chrono>

#include "common/dotted_quad.h"

int TransferEndpoint::Open() {
  Close();
  if (socket_.Open() != 0 || socket_.SetTimeouts(TimeoutMilliseconds) != 0) {
    socket_.Close();
    return 0;
  }
  return 1;
}

int TransferEndpoint::Connect(const char* address, uint16_t port) {
  peer_ = {};
  const UdpAddress peer{address != nullptr ? ParseDottedQuad(address) : 0, port};
  if (peer.address == 0 || socket_.Connect(peer) != 0) {
    return 0;
  }
  peer_ = peer;
  return 1;
}

int TransferEndpoint::Send(const uint8_t* data, int length) {
  // Without a peer the datagram would go to 0.0.0.0, which this host takes as itself.
  if (peer_.address == 0 || length < 0 || (data == nullptr && length > 0)) {
    return -1;
  }
  return socket_.SendTo(data, static_cast<size_t>(length), peer_);
}

int TransferEndpoint::Receive(uint8_t* buffer, int capacity) {
  if (capacity < 0 || (buffer == nullptr && capacity > 0)) {
    return -1;
  }
  return socket_.Receive(buffer, static_cast<size_t>(capacity));
}

int TransferEndpoint::DiscardQueued(int quietMilliseconds) {
  using namespace std::chrono;
  const int quiet = std::max(0, quietMilliseconds);
  const auto deadline = steady_clock::now() + milliseconds(10 * quiet);
  int dropped = 0;
  // Counted in takes, so that port-unreachable reports, which are no datagrams, end it as well.
  for (int taken = 0; taken < DiscardLimit && socket_.IsOpen(); ++taken) {
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    // Past the deadline, a wait of 0 asks whether something is there without waiting.
    const int wait = static_cast<int>(std::clamp<int64_t>(left, 0, quiet));
    const int result = socket_.WaitReadable(wait) > 0 ? socket_.DiscardNext() : -1;
    if (result < 0) {
      break;
    }
    dropped += result;
  }
  return dropped;
}
