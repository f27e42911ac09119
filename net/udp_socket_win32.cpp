// SPDX-License-Identifier: Apache-2.0
// UdpSocket on Windows Sockets: the system calls, and WSAGetLastError read here alone. The calls
// that only set something up give 0 or SOCKET_ERROR, which is -1, already.
// winsock2.h must come before windows.h, which would otherwise bring the older winsock.h.
#include <winsock2.h>

#include <mswsock.h>

#include "net/udp_socket.h"

#include <algorithm>
#include <array>
#include <climits>

namespace {

sockaddr_in SocketAddress(const UdpAddress& to) {
  return {.sin_family = AF_INET,
          .sin_port = htons(to.port),
          .sin_addr = {.S_un = {.S_addr = to.address}},
          .sin_zero = {}};
}

SOCKET Handle(uintptr_t handle) {
  return static_cast<SOCKET>(handle);
}

// Option values and buffers go in and out as bytes.
const char* Bytes(const void* value) {
  return static_cast<const char*>(value);
}

// WSAETIMEDOUT is the time-out. A datagram longer than the buffer fails with WSAEMSGSIZE but has
// filled it, so it counts as the `kept` bytes, as on every other platform.
int CountOrFailure(int result, int kept) {
  const int error = result == SOCKET_ERROR ? WSAGetLastError() : 0;
  return error == 0 ? result : (error == WSAEMSGSIZE ? kept : (error == WSAETIMEDOUT ? 0 : -1));
}

}  // namespace

uintptr_t UdpSocket::NewSocket() {
  // INVALID_SOCKET is all ones.
  return static_cast<uintptr_t>(socket(AF_INET, SOCK_DGRAM, 0));
}

int UdpSocket::BindNonBlocking() {
  // Windows would report a port-unreachable answer to an earlier send as a ready socket whose
  // receive fails, turning a device that is not there into one of the wrong type: off, as
  // elsewhere, where an unconnected socket never sees such errors.
  u_long nonBlocking = 1;
  BOOL reportUnreachable = FALSE;
  DWORD returned = 0;
  const sockaddr_in local = SocketAddress({htonl(INADDR_ANY), 0});
  if (ioctlsocket(Handle(handle_), FIONBIO, &nonBlocking) != 0 ||
      WSAIoctl(Handle(handle_), SIO_UDP_CONNRESET, &reportUnreachable, sizeof reportUnreachable,
               nullptr, 0, &returned, nullptr, nullptr) != 0) {
    return -1;
  }
  return bind(Handle(handle_), reinterpret_cast<const sockaddr*>(&local), sizeof local);
}

int UdpSocket::SetTimeouts(int milliseconds) {
  // Windows Sockets takes both time-outs as a 4-byte count of milliseconds.
  const DWORD timeout = static_cast<DWORD>(milliseconds);
  return setsockopt(Handle(handle_), SOL_SOCKET, SO_RCVTIMEO, Bytes(&timeout), sizeof timeout) |
         setsockopt(Handle(handle_), SOL_SOCKET, SO_SNDTIMEO, Bytes(&timeout), sizeof timeout);
}

int UdpSocket::EnableBroadcast() {
  const BOOL on = TRUE;
  return setsockopt(Handle(handle_), SOL_SOCKET, SO_BROADCAST, Bytes(&on), sizeof on);
}

int UdpSocket::Connect(const UdpAddress& peer) {
  const sockaddr_in address = SocketAddress(peer);
  return connect(Handle(handle_), reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

int UdpSocket::SendTo(const uint8_t* data, size_t length, const UdpAddress& to) {
  if (length > INT_MAX) {
    return -1;
  }
  const sockaddr_in address = SocketAddress(to);
  return CountOrFailure(sendto(Handle(handle_), Bytes(data), static_cast<int>(length), 0,
                               reinterpret_cast<const sockaddr*>(&address), sizeof address),
                        -1);
}

int UdpSocket::Receive(uint8_t* buffer, size_t capacity) {
  const int room = static_cast<int>(std::min<size_t>(capacity, INT_MAX));
  return CountOrFailure(recv(Handle(handle_), reinterpret_cast<char*>(buffer), room, 0), room);
}

int UdpSocket::ReceiveFrom(uint8_t* buffer, size_t capacity, UdpAddress& sender) {
  const int room = static_cast<int>(std::min<size_t>(capacity, INT_MAX));
  sockaddr_in from{};
  int length = sizeof from;
  const int count = CountOrFailure(recvfrom(Handle(handle_), reinterpret_cast<char*>(buffer), room,
                                            0, reinterpret_cast<sockaddr*>(&from), &length),
                                   room);
  if (count >= 0 && from.sin_family == AF_INET) {
    sender = {from.sin_addr.S_un.S_addr, ntohs(from.sin_port)};
  }
  return count;
}

int UdpSocket::SetBufferSizes(int bytes) {
  return setsockopt(Handle(handle_), SOL_SOCKET, SO_RCVBUF, Bytes(&bytes), sizeof bytes) |
         setsockopt(Handle(handle_), SOL_SOCKET, SO_SNDBUF, Bytes(&bytes), sizeof bytes);
}

// Windows Sockets keeps no count of the datagrams it dropped.
int UdpSocket::DroppedCount() {
  return -1;
}

int UdpSocket::WaitReadable(int milliseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Handle(handle_), &readable);
  timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
  // The first argument is ignored by Windows Sockets.
  const int ready = select(0, &readable, nullptr, nullptr, &limit);
  return ready == SOCKET_ERROR ? -1 : ready;
}

int UdpSocket::DiscardNext() {
  std::array<char, 1> ignored;
  if (recv(Handle(handle_), ignored.data(), 1, 0) != SOCKET_ERROR) {
    return 1;
  }
  // A longer datagram fails with WSAEMSGSIZE and a port-unreachable report with WSAECONNRESET;
  // either is gone from the socket.
  const int error = WSAGetLastError();
  return error == WSAEMSGSIZE ? 1 : (error == WSAECONNRESET ? 0 : -1);
}

int UdpSocket::CloseSocket(uintptr_t handle) {
  return closesocket(Handle(handle));
}
