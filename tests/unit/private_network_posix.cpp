#include "private_network.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

// In a new namespace the loopback starts down; finding it up means the namespace is not new.
bool BringUpFreshLoopback() {
  const int control = socket(AF_INET, SOCK_DGRAM, 0);
  if (control < 0) {
    return false;
  }
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool ready = ioctl(control, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_UP) == 0;
  if (ready) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    ready = ioctl(control, SIOCSIFFLAGS, &request) == 0;
  }
  close(control);
  return ready;
}

}  // namespace

bool RunInPrivateNetwork(const std::function<void()>& body) {
  bool entered = false;
  // A network namespace belongs to the thread that unshares it; the test's own thread and every
  // other test stay where they were.
  std::thread isolated([&] {
    if (unshare(CLONE_NEWNET) != 0 || !BringUpFreshLoopback()) {
      return;
    }
    entered = true;
    body();
  });
  isolated.join();
  return entered;
}

Peer::Peer(const char* address, uint16_t port) : handle_(socket(AF_INET, SOCK_DGRAM, 0)) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  inet_pton(AF_INET, address, &local.sin_addr);
  EXPECT_EQ(bind(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&local), sizeof local), 0)
      << address;
}

Peer::~Peer() {
  close(static_cast<int>(handle_));
}

std::vector<uint8_t> Peer::Take(int milliseconds) {
  pollfd ready{static_cast<int>(handle_), POLLIN, 0};
  std::vector<uint8_t> bytes(2048);
  socklen_t length = sizeof sender_;
  const ssize_t count = poll(&ready, 1, milliseconds) != 1
                            ? 0
                            : recvfrom(static_cast<int>(handle_), bytes.data(), bytes.size(), 0,
                                       reinterpret_cast<sockaddr*>(sender_.data()), &length);
  bytes.resize(count > 0 ? static_cast<size_t>(count) : 0);
  return bytes;
}

void Peer::Answer(const std::vector<uint8_t>& bytes, const Peer* to) const {
  const auto& address = (to != nullptr ? to : this)->sender_;
  sendto(static_cast<int>(handle_), bytes.data(), bytes.size(), 0,
         reinterpret_cast<const sockaddr*>(address.data()), sizeof(sockaddr_in));
}
