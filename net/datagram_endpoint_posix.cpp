#include "net/datagram_endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "net/dotted_quad.h"

namespace {

int Descriptor(uintptr_t handle) {
  return static_cast<int>(handle);
}

}  // namespace

DatagramEndpoint::~DatagramEndpoint() {
  Close();
}

bool DatagramEndpoint::Open() {
  Close();
  const int descriptor = socket(AF_INET, SOCK_DGRAM, 0);
  if (descriptor < 0) {
    return false;
  }
  handle_ = static_cast<uintptr_t>(descriptor);
  // Every receive follows a readiness wait, but the kernel may still drop a datagram between the
  // two (a bad checksum); non-blocking, such a receive fails instead of hanging the run.
  const int flags = fcntl(descriptor, F_GETFL);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;
  if (flags < 0 || fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) < 0 ||
      bind(descriptor, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
    Close();
    return false;
  }
  return true;
}

bool DatagramEndpoint::EnableBroadcast() {
  if (!IsOpen()) {
    return false;
  }
  const int on = 1;
  return setsockopt(Descriptor(handle_), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

int DatagramEndpoint::SendDatagram(const uint8_t* data, size_t length, uint16_t port,
                                   const char* host) {
  if (!IsOpen()) {
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
  const ssize_t sent = sendto(Descriptor(handle_), data, length, 0,
                              reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return sent < 0 ? -1 : static_cast<int>(std::min<ssize_t>(sent, INT_MAX));
}

bool DatagramEndpoint::WaitReadable(int seconds) {
  if (!IsOpen()) {
    return false;
  }
  // poll rather than select: a select set cannot hold a descriptor past FD_SETSIZE.
  pollfd watched{};
  watched.fd = Descriptor(handle_);
  watched.events = POLLIN;
  const int limit = std::clamp(seconds, 0, INT_MAX / 1000) * 1000;
  const int ready = poll(&watched, 1, limit);
  return ready > 0 && (watched.revents & POLLNVAL) == 0;
}

int DatagramEndpoint::ReceiveDatagram(uint8_t* buffer, size_t capacity) {
  if (!IsOpen()) {
    return -1;
  }
  // Without MSG_TRUNC, recv returns the count placed in the buffer and drops the datagram's rest.
  const ssize_t received = recv(Descriptor(handle_), buffer, capacity, 0);
  if (received < 0) {
    return -1;
  }
  return static_cast<int>(std::min<size_t>(static_cast<size_t>(received), capacity));
}

void DatagramEndpoint::Close() {
  if (!IsOpen()) {
    return;
  }
  close(Descriptor(handle_));
  handle_ = InvalidHandle;
}
