// SPDX-License-Identifier: Apache-2.0
// UdpSocket on POSIX sockets: the system calls, and errno read here alone. The calls that only
// set something up give 0 or -1 already.
#include "net/udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>

#ifdef __linux__
#include <linux/sock_diag.h>
#endif

namespace {

sockaddr_in SocketAddress(const UdpAddress& to) {
  return {.sin_family = AF_INET,
          .sin_port = htons(to.port),
          .sin_addr = {.s_addr = to.address},
          .sin_zero = {}};
}

int Descriptor(uintptr_t handle) {
  return static_cast<int>(handle);
}

// EAGAIN stands both for a time-out (SO_RCVTIMEO, SO_SNDTIMEO) and, on a non-blocking socket, for
// nothing to take; only the first is a time-out. A datagram's count always fits an int.
int CountOrFailure(int descriptor, ssize_t result) {
  const bool timedOut = result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
                        (fcntl(descriptor, F_GETFL) & O_NONBLOCK) == 0;
  return result >= 0 ? static_cast<int>(result) : (timedOut ? 0 : -1);
}

// Sets one buffer's size: `forced` passes the system's limit but needs CAP_NET_ADMIN; without
// it, or where there is no such option (-1), the plain option gives what the limit allows.
int SetBufferSize(int descriptor, int forced, int plain, int bytes) {
  return forced >= 0 && setsockopt(descriptor, SOL_SOCKET, forced, &bytes, sizeof bytes) == 0
             ? 0
             : setsockopt(descriptor, SOL_SOCKET, plain, &bytes, sizeof bytes);
}

#ifdef __linux__
constexpr int ForcedReceiveBuffer = SO_RCVBUFFORCE;
constexpr int ForcedSendBuffer = SO_SNDBUFFORCE;

// The socket's own drop counter, read whenever asked. SO_RXQ_OVFL reports the same counter, but
// only with a later datagram: never the drops at the end of a burst.
int ReadDropCount(int descriptor) {
  std::array<uint32_t, SK_MEMINFO_VARS> memory{};
  socklen_t length = sizeof memory;
  if (getsockopt(descriptor, SOL_SOCKET, SO_MEMINFO, memory.data(), &length) != 0 ||
      length <= SK_MEMINFO_DROPS * sizeof(uint32_t)) {
    return -1;
  }
  return static_cast<int>(std::min<uint32_t>(memory[SK_MEMINFO_DROPS], INT32_MAX));
}
#else
constexpr int ForcedReceiveBuffer = -1;
constexpr int ForcedSendBuffer = -1;

int ReadDropCount(int /*descriptor*/) {
  return -1;
}
#endif

}  // namespace

uintptr_t UdpSocket::NewSocket() {
  // -1 converts to all ones.
  return static_cast<uintptr_t>(socket(AF_INET, SOCK_DGRAM, 0));
}

int UdpSocket::BindNonBlocking() {
  // A fresh socket has no other status flag to keep. Only a connected socket hears
  // port-unreachable reports here; nothing to turn off.
  const sockaddr_in local = SocketAddress({htonl(INADDR_ANY), 0});
  if (fcntl(Descriptor(handle_), F_SETFL, O_NONBLOCK) != 0) {
    return -1;
  }
  return bind(Descriptor(handle_), reinterpret_cast<const sockaddr*>(&local), sizeof local);
}

int UdpSocket::SetTimeouts(int milliseconds) {
  const timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
  return setsockopt(Descriptor(handle_), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) |
         setsockopt(Descriptor(handle_), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

int UdpSocket::EnableBroadcast() {
  const int on = 1;
  return setsockopt(Descriptor(handle_), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
}

int UdpSocket::Connect(const UdpAddress& peer) {
  const sockaddr_in address = SocketAddress(peer);
  return connect(Descriptor(handle_), reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

int UdpSocket::SendTo(const uint8_t* data, size_t length, const UdpAddress& to) {
  const sockaddr_in address = SocketAddress(to);
  return CountOrFailure(Descriptor(handle_),
                        sendto(Descriptor(handle_), data, length, 0,
                               reinterpret_cast<const sockaddr*>(&address), sizeof address));
}

int UdpSocket::Receive(uint8_t* buffer, size_t capacity) {
  // Without MSG_TRUNC, recv returns the count placed in the buffer and drops the datagram's rest.
  return CountOrFailure(Descriptor(handle_), recv(Descriptor(handle_), buffer, capacity, 0));
}

int UdpSocket::ReceiveFrom(uint8_t* buffer, size_t capacity, UdpAddress& sender) {
  sockaddr_in from{};
  socklen_t length = sizeof from;
  const int count =
      CountOrFailure(Descriptor(handle_), recvfrom(Descriptor(handle_), buffer, capacity, 0,
                                                   reinterpret_cast<sockaddr*>(&from), &length));
  if (count >= 0 && from.sin_family == AF_INET) {
    sender = {from.sin_addr.s_addr, ntohs(from.sin_port)};
  }
  return count;
}

int UdpSocket::SetBufferSizes(int bytes) {
  return SetBufferSize(Descriptor(handle_), ForcedReceiveBuffer, SO_RCVBUF, bytes) |
         SetBufferSize(Descriptor(handle_), ForcedSendBuffer, SO_SNDBUF, bytes);
}

int UdpSocket::DroppedCount() {
  return ReadDropCount(Descriptor(handle_));
}

int UdpSocket::WaitReadable(int milliseconds) {
  // poll rather than select: a select set cannot hold a descriptor past FD_SETSIZE.
  pollfd watched{Descriptor(handle_), POLLIN, 0};
  const int ready = poll(&watched, 1, milliseconds);
  return ready < 0 || (watched.revents & POLLNVAL) != 0 ? -1 : ready;
}

int UdpSocket::DiscardNext() {
  std::array<uint8_t, 1> ignored;
  if (recv(Descriptor(handle_), ignored.data(), ignored.size(), MSG_DONTWAIT) >= 0) {
    return 1;
  }
  // A port-unreachable report fails one receive and is gone with it.
  return errno == ECONNREFUSED ? 0 : -1;
}

int UdpSocket::CloseSocket(uintptr_t handle) {
  return close(Descriptor(handle));
}
