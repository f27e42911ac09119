#include "private_network.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

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
