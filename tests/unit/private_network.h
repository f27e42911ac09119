#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

/// Runs `body` on a thread of its own inside a new, empty network namespace whose loopback it has
/// brought up, so that whatever `body` sends stays in that namespace. Returns false, without
/// running `body`, when the namespace cannot be made (not root) or is not empty (isolation
/// failed); the caller then skips. GoogleTest assertions in `body` count as usual.
/// On Windows the runner makes the namespace (tests/wine/wine_run.py --loopback); `body` runs,
/// with the socket library started, only when the process sees no interface but an up loopback.
bool RunInPrivateNetwork(const std::function<void()>& body);

/// Runs the test body (a lambda; variadic because its commas would split a single macro argument)
/// in a network of its own, or skips the test.
#define ENTER_PRIVATE_NETWORK(...)                                                           \
  if (!RunInPrivateNetwork(__VA_ARGS__)) {                                                   \
    GTEST_SKIP() << "needs a network of its own (root; under Wine, wine_run.py --loopback)"; \
  }

/// A plain UDP socket of the platform standing in for the device or for a stranger, bound to
/// `address`:`port` (the test fails when it cannot be). Only inside `RunInPrivateNetwork`.
class Peer {
 public:
  explicit Peer(const char* address, uint16_t port = 36);
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  /// The next datagram within `milliseconds`, its sender remembered; empty when none came.
  std::vector<uint8_t> Take(int milliseconds = 1000);
  /// Sends `bytes` to the sender of the last datagram that `to` took (by default this peer).
  void Answer(const std::vector<uint8_t>& bytes, const Peer* to = nullptr) const;

 private:
  std::intptr_t handle_;
  alignas(8) std::array<uint8_t, 16> sender_{};  // the platform's IPv4 socket address
};
