// winsock2.h must come before windows.h, which would otherwise bring the older winsock.h.
#include <winsock2.h>

#include <mswsock.h>

#include "net/datagram_endpoint.h"

#include <algorithm>
#include <climits>

#include "net/dotted_quad.h"

namespace {

SOCKET Socket(uintptr_t handle) {
  return static_cast<SOCKET>(handle);
}

}  // namespace

DatagramEndpoint::~DatagramEndpoint() {
  Close();
}

bool DatagramEndpoint::Open() {
  Close();
  const SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (socket == INVALID_SOCKET) {
    return false;
  }
  handle_ = static_cast<uintptr_t>(socket);
  // Every receive follows a readiness wait, but a datagram may still vanish between the two;
  // non-blocking, such a receive fails instead of hanging the run.
  u_long nonBlocking = 1;
  // Windows would report a port-unreachable answer to an earlier send as a ready socket whose
  // receive fails, turning a device that is not there into one of the wrong type. Off, as on
  // other platforms, where an unconnected socket never sees such errors.
  BOOL reportUnreachable = FALSE;
  DWORD returned = 0;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;
  if (ioctlsocket(socket, FIONBIO, &nonBlocking) != 0 ||
      WSAIoctl(socket, SIO_UDP_CONNRESET, &reportUnreachable, sizeof reportUnreachable, nullptr, 0,
               &returned, nullptr, nullptr) != 0 ||
      bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    Close();
    return false;
  }
  return true;
}

bool DatagramEndpoint::EnableBroadcast() {
  if (!IsOpen()) {
    return false;
  }
  const BOOL on = TRUE;
  return setsockopt(Socket(handle_), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on),
                    sizeof on) == 0;
}

int DatagramEndpoint::SendDatagram(const uint8_t* data, size_t length, uint16_t port,
                                   const char* host) {
  if (!IsOpen() || length > INT_MAX) {
    return -1;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (host == nullptr) {
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  } else {
    // Already in network order: the first part sits in the lowest-addressed byte.
    to.sin_addr.s_addr = ParseDottedQuad(host);
    if (to.sin_addr.s_addr == 0) {
      return -1;
    }
  }
  const int sent =
      sendto(Socket(handle_), reinterpret_cast<const char*>(data), static_cast<int>(length), 0,
             reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return sent == SOCKET_ERROR ? -1 : sent;
}

bool DatagramEndpoint::WaitReadable(int seconds) {
  if (!IsOpen()) {
    return false;
  }
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Socket(handle_), &readable);
  timeval limit{};
  limit.tv_sec = std::max(seconds, 0);
  // The first argument is ignored by Windows Sockets.
  const int ready = select(0, &readable, nullptr, nullptr, &limit);
  return ready != 0 && ready != SOCKET_ERROR;
}

int DatagramEndpoint::ReceiveDatagram(uint8_t* buffer, size_t capacity) {
  if (!IsOpen()) {
    return -1;
  }
  const int room = static_cast<int>(std::min<size_t>(capacity, INT_MAX));
  const int received = recv(Socket(handle_), reinterpret_cast<char*>(buffer), room, 0);
  if (received != SOCKET_ERROR) {
    return received;
  }
  // The datagram was longer than the buffer: its first `room` bytes are there, the rest is gone.
  return WSAGetLastError() == WSAEMSGSIZE ? room : -1;
}

void DatagramEndpoint::Close() {
  if (!IsOpen()) {
    return;
  }
  closesocket(Socket(handle_));
  handle_ = InvalidHandle;
}
