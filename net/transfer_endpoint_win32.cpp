// winsock2.h must come before windows.h, which would otherwise bring the older winsock.h.
#include <winsock2.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

#include "net/dotted_quad.h"
#include "net/transfer_endpoint.h"

const int TransferDatagramType = SOCK_DGRAM;

namespace {

static_assert(sizeof(sockaddr_in) == 16, "the peer is kept as a 16-byte IPv4 socket address");

SOCKET Handle(std::intptr_t socketHandle) {
  return static_cast<SOCKET>(socketHandle);
}

// Windows Sockets takes both time-outs as a 4-byte count of milliseconds.
int SetTimeout(SOCKET socket, int option) {
  const DWORD timeout = TransferTimeoutMilliseconds;
  return setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char*>(&timeout),
                    sizeof timeout);
}

// The one translation of the platform's outcome: WSAETIMEDOUT counts as 0, every other error as
// -1. A datagram longer than the buffer fails with WSAEMSGSIZE on Windows but has filled the
// buffer, so it counts as the `kept` bytes, as on every other platform.
int CountOrFailure(int result, int kept) {
  if (result != SOCKET_ERROR) {
    return result;
  }
  const int error = WSAGetLastError();
  if (error == WSAEMSGSIZE) {
    return kept;
  }
  return error == WSAETIMEDOUT ? 0 : -1;
}

}  // namespace

TransferEndpoint::~TransferEndpoint() {
  Close();
}

int TransferEndpoint::Open(int type) {
  Close();
  const SOCKET handle = socket(AF_INET, type, 0);
  if (handle == INVALID_SOCKET) {
    return 0;
  }
  socketHandle = static_cast<std::intptr_t>(handle);
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
  if (connect(Handle(socketHandle), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
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
  return CountOrFailure(sendto(Handle(socketHandle), reinterpret_cast<const char*>(data), length, 0,
                               reinterpret_cast<const sockaddr*>(&peer), sizeof peer),
                        -1);
}

int TransferEndpoint::Receive(uint8_t* buffer, int capacity) {
  if (capacity < 0 || (buffer == nullptr && capacity > 0)) {
    return -1;
  }
  return CountOrFailure(recv(Handle(socketHandle), reinterpret_cast<char*>(buffer), capacity, 0),
                        capacity);
}

int TransferEndpoint::DiscardQueued(int quietMilliseconds) {
  if (socketHandle == -1) {
    return 0;
  }
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(10 * std::max(0, quietMilliseconds));
  int dropped = 0;
  std::array<char, 1> ignored;
  while (dropped < DiscardLimit) {
    // With no quiet period, a zero time-out asks whether a datagram is waiting without waiting.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const long wait = std::clamp<long>(left.count(), 0, quietMilliseconds);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Handle(socketHandle), &readable);
    timeval timeout{0, wait * 1000};
    if (select(0, &readable, nullptr, nullptr, &timeout) != 1) {
      break;
    }
    // A datagram longer than the buffer fails with WSAEMSGSIZE, and a port-unreachable report
    // with WSAECONNRESET; either way it has been taken off the socket.
    const int result = recv(Handle(socketHandle), ignored.data(), 1, 0);
    const int error = result == SOCKET_ERROR ? WSAGetLastError() : 0;
    if (result == SOCKET_ERROR && error != WSAEMSGSIZE && error != WSAECONNRESET) {
      break;
    }
    ++dropped;
  }
  return dropped;
}

int TransferEndpoint::Close() {
  if (socketHandle == -1) {
    return -1;
  }
  const int result = closesocket(Handle(socketHandle));
  socketHandle = -1;
  peerAddress.fill(0);
  return result;
}
