// TransferEndpoint on UdpSocket: its checks, its peer and its discarding, the same on every
// platform.
#include "net/transfer_endpoint.h"

#include <algorithm>
#include <chrono>

#include "net/dotted_quad.h"

int TransferEndpoint::Open() {
  Close();
  if (socketHandle.Open() != 0 || socketHandle.SetTimeouts(TimeoutMilliseconds) != 0) {
    socketHandle.Close();
    return 0;
  }
  return 1;
}

int TransferEndpoint::Connect(const char* address, uint16_t port) {
  peerAddress = {};
  // Decimal parts, as the address check reads them; a leading zero never means octal here.
  const UdpAddress peer{address != nullptr ? ParseDottedQuad(address) : 0, port};
  if (peer.address == 0 || socketHandle.Connect(peer) != 0) {
    return 0;
  }
  peerAddress = peer;
  return 1;
}

int TransferEndpoint::Send(const uint8_t* data, int length) {
  // Without a peer the datagram would go to 0.0.0.0, which this host takes as itself.
  if (peerAddress.address == 0 || length < 0 || (data == nullptr && length > 0)) {
    return -1;
  }
  return socketHandle.SendTo(data, static_cast<size_t>(length), peerAddress);
}

int TransferEndpoint::Receive(uint8_t* buffer, int capacity) {
  if (capacity < 0 || (buffer == nullptr && capacity > 0)) {
    return -1;
  }
  return socketHandle.Receive(buffer, static_cast<size_t>(capacity));
}

int TransferEndpoint::DiscardQueued(int quietMilliseconds) {
  const int quiet = std::max(0, quietMilliseconds);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(10 * quiet);
  int dropped = 0;
  // Counted in takes, so that port-unreachable reports, which are no datagrams, end it as well.
  for (int taken = 0; taken < DiscardLimit && socketHandle.IsOpen(); ++taken) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    // Past the deadline, a wait of 0 asks whether something is there without waiting.
    const int wait = static_cast<int>(std::clamp<int64_t>(left.count(), 0, quiet));
    const int result = socketHandle.WaitReadable(wait) > 0 ? socketHandle.DiscardNext() : -1;
    if (result < 0) {
      break;
    }
    dropped += result;
  }
  return dropped;
}

int TransferEndpoint::Close() {
  peerAddress = {};
  return socketHandle.Close();
}
