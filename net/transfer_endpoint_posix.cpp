#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "net/dotted_quad.h"
#include "net/transfer_endpoint.h"

const int TransferDatagramType = SOCK_DGRAM;

namespace {

static_assert(sizeof(sockaddr_in) == 16, "the peer is kept as a 16-byte IPv4 socket address");

int SetTimeout(int socket, int option) {
  timeval timeout{};
  timeout.tv_sec = TransferTimeoutMilliseconds / 1000;
  timeout.tv_usec = (TransferTimeoutMilliseconds % 1000) * 1000;
  return setsockopt(socket, SOL_SOCKET, option, &timeout, sizeof timeout);
}

// The one translation of the platform's outcome: a time-out of the socket option shows as
// EAGAIN/EWOULDBLOCK and counts as 0, every other error as -1.
int CountOrFailure(ssize_t result) {
  if (result >= 0) {
    return static_cast<int>(result);
  }
  return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
}

}  // namespace

TransferEndpoint::~TransferEndpoint() {
  Close();
}

int TransferEndpoint::Open(int type) {
  Close();
  const int handle = socket(AF_INET, type, 0);
  if (handle < 0) {
    return 0;
  }
  socketHandle = handle;
  if (SetTimeout(handle, SO_RCVTIMEO) != 0 || SetTimeout(handle, SO_SNDTIMEO) != 0) {
    Close();
    return 0;
  }
  return 1;
}

int TransferEndpoint::Connect(const char* address, uint16_t port) {
  peerAddress.fill(0);
  // Decimal parts, as the address check reads them; a leading zero never means octal here.
  const uint32_t parsed = address != nullptr ? ParseDottedQuad(address) : 0;
  if (parsed == 0) {
    return 0;
  }
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = parsed;
  if (connect(static_cast<int>(socketHandle), reinterpret_cast<const sockaddr*>(&peer),
              sizeof peer) != 0) {
    return 0;
  }
  std::memcpy(peerAddress.data(), &peer, sizeof peer);
  return 1;
}

int TransferEndpoint::Send(const uint8_t* data, int length) {
  sockaddr_in peer{};
  std::memcpy(&peer, peerAddress.data(), sizeof peer);
  // Without a peer the datagram would go to 0.0.0.0, which this host takes as itself.
  if (peer.sin_family != AF_INET || length < 0 || (data == nullptr && length > 0)) {
    return -1;
  }
  return CountOrFailure(sendto(static_cast<int>(socketHandle), data, static_cast<size_t>(length), 0,
                               reinterpret_cast<const sockaddr*>(&peer), sizeof peer));
}

int TransferEndpoint::Receive(uint8_t* buffer, int capacity) {
  if (capacity < 0 || (buffer == nullptr && capacity > 0)) {
    return -1;
  }
  return CountOrFailure(
      recv(static_cast<int>(socketHandle), buffer, static_cast<size_t>(capacity), 0));
}

int TransferEndpoint::DiscardQueued(int quietMilliseconds) {
  if (socketHandle < 0) {
    return 0;
  }
  const int socket = static_cast<int>(socketHandle);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(10 * std::max(0, quietMilliseconds));
  int dropped = 0;
  std::array<uint8_t, 1> ignored;
  for (int taken = 0; taken < DiscardLimit; ++taken) {
    if (recv(socket, ignored.data(), ignored.size(), MSG_DONTWAIT) >= 0) {
      ++dropped;
      continue;
    }
    // A port-unreachable report is taken off like a datagram.
    if (errno == ECONNREFUSED) {
      continue;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || left.count() <= 0) {
      break;
    }
    pollfd waiting{socket, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(std::min<int64_t>(left.count(), quietMilliseconds))) <=
        0) {
      break;
    }
  }
  return dropped;
}

int TransferEndpoint::Close() {
  if (socketHandle < 0) {
    return -1;
  }
  const int result = close(static_cast<int>(socketHandle));
  socketHandle = -1;
  peerAddress.fill(0);
  return result;
}
