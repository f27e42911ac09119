// The POSIX datagram endpoint on real sockets. The executable first moves itself into a network
// namespace of its own and brings up its loopback there, so every datagram stays on 127.0.0.0/8
// of that namespace. Exit status 77 (skipped) when that cannot be done.

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "net/datagram_endpoint.h"

namespace {

using Clock = std::chrono::steady_clock;

// Plays the device: a plain socket bound to `address`, port 36.
class Device {
 public:
  explicit Device(const char* address) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(36);
    inet_pton(AF_INET, address, &local.sin_addr);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  }
  ~Device() { close(fd_); }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  bool Bound() const { return bound_; }

  // The next datagram within `milliseconds`, remembering its sender; empty when none came.
  std::vector<uint8_t> Receive(int milliseconds = 1000) {
    pollfd watched{fd_, POLLIN, 0};
    if (poll(&watched, 1, milliseconds) <= 0) {
      return {};
    }
    std::vector<uint8_t> bytes(2048);
    socklen_t length = sizeof peer_;
    const ssize_t count =
        recvfrom(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&peer_), &length);
    bytes.resize(count < 0 ? 0 : static_cast<size_t>(count));
    return bytes;
  }

  void AnswerLastSender(const std::vector<uint8_t>& bytes) {
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&peer_), sizeof peer_);
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
  sockaddr_in peer_{};
};

std::vector<uint8_t> Pattern(size_t length, uint8_t first) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<uint8_t>(first + i);
  }
  return bytes;
}

size_t OpenDescriptors() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                           std::filesystem::directory_iterator{}));
}

TEST(DatagramEndpoint, NotOpenRefusesEverythingAndClosesQuietly) {
  DatagramEndpoint endpoint;
  EXPECT_FALSE(endpoint.IsOpen());
  endpoint.Close();
  endpoint.Close();
  const uint8_t byte = 1;
  uint8_t buffer[20];
  EXPECT_EQ(endpoint.SendDatagram(&byte, 1, 36, "127.0.0.1"), -1);
  EXPECT_FALSE(endpoint.EnableBroadcast());
  EXPECT_FALSE(endpoint.WaitReadable(0));
  EXPECT_EQ(endpoint.ReceiveDatagram(buffer, sizeof buffer), -1);
}

TEST(DatagramEndpoint, ClosedOnDestructionAndAfterClose) {
  const size_t before = OpenDescriptors();
  {
    DatagramEndpoint endpoint;
    ASSERT_TRUE(endpoint.Open());
    ASSERT_TRUE(endpoint.Open());  // reopening does not leak the first socket
    EXPECT_EQ(OpenDescriptors(), before + 1);
  }
  EXPECT_EQ(OpenDescriptors(), before);
  DatagramEndpoint endpoint;
  ASSERT_TRUE(endpoint.Open());
  endpoint.Close();
  EXPECT_FALSE(endpoint.IsOpen());
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(DatagramEndpoint, ExchangesDatagramsAndCutsLongOnes) {
  Device device("127.0.0.1");
  ASSERT_TRUE(device.Bound());
  DatagramEndpoint endpoint;
  ASSERT_TRUE(endpoint.Open());
  const std::vector<uint8_t> request = Pattern(20, 0x40);
  EXPECT_EQ(endpoint.SendDatagram(request.data(), request.size(), 36, "127.0.0.1"), 20);
  EXPECT_EQ(device.Receive(), request);

  const std::vector<uint8_t> longReply = Pattern(30, 0xF0);
  const std::vector<uint8_t> shortReply = Pattern(5, 0x10);
  device.AnswerLastSender(longReply);
  device.AnswerLastSender(shortReply);
  uint8_t buffer[20];
  ASSERT_TRUE(endpoint.WaitReadable(1));
  ASSERT_EQ(endpoint.ReceiveDatagram(buffer, sizeof buffer), 20);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 20),
            std::vector<uint8_t>(longReply.begin(), longReply.begin() + 20));
  // The rest of the long datagram is gone; the next receive sees the next datagram.
  ASSERT_TRUE(endpoint.WaitReadable(1));
  ASSERT_EQ(endpoint.ReceiveDatagram(buffer, sizeof buffer), 5);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 5), shortReply);
  // Nothing is queued now: a receive fails at once instead of blocking.
  EXPECT_EQ(endpoint.ReceiveDatagram(buffer, sizeof buffer), -1);
}

TEST(DatagramEndpoint, HostTextIsReadAsDecimalDottedQuadOnly) {
  Device ten("127.0.0.10");
  Device eight("127.0.0.8");  // where an octal reading of 010 would send it
  ASSERT_TRUE(ten.Bound() && eight.Bound());
  DatagramEndpoint endpoint;
  ASSERT_TRUE(endpoint.Open());
  const uint8_t byte = 0x5A;
  EXPECT_EQ(endpoint.SendDatagram(&byte, 1, 36, "127.0.0.010  "), 1);
  EXPECT_EQ(ten.Receive(), std::vector<uint8_t>{0x5A});
  for (const char* invalid : {"1.2.3", "localhost", "", "127.0.0.010x", "0.0.0.0"}) {
    SCOPED_TRACE(invalid);
    EXPECT_EQ(endpoint.SendDatagram(&byte, 1, 36, invalid), -1);
  }
  EXPECT_TRUE(eight.Receive(200).empty());
  EXPECT_TRUE(ten.Receive(200).empty());
}

TEST(DatagramEndpoint, WaitReadableTimesOutOrReturnsAtOnce) {
  DatagramEndpoint endpoint;
  ASSERT_TRUE(endpoint.Open());
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(endpoint.WaitReadable(1));
  const auto silent = Clock::now() - start;
  EXPECT_GE(silent, std::chrono::milliseconds(950));
  EXPECT_LT(silent, std::chrono::seconds(3));

  // A datagram that arrived before the wait began is reported at once.
  Device device("127.0.0.1");
  ASSERT_TRUE(device.Bound());
  const uint8_t byte = 1;
  endpoint.SendDatagram(&byte, 1, 36, "127.0.0.1");
  ASSERT_FALSE(device.Receive().empty());
  device.AnswerLastSender({7});
  usleep(50 * 1000);
  start = Clock::now();
  EXPECT_TRUE(endpoint.WaitReadable(1));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}

// Moves this process into a new network namespace, checks that it is isolated (a new namespace
// has its loopback down) and brings the loopback up.
bool EnterOwnNetworkNamespace() {
  if (unshare(CLONE_NEWNET) != 0) {
    std::printf("skipped: cannot create a network namespace (needs root)\n");
    return false;
  }
  const int control = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool ready = control >= 0 && ioctl(control, SIOCGIFFLAGS, &request) == 0;
  if (ready && (request.ifr_flags & IFF_UP) != 0) {
    std::printf("skipped: loopback already up, the namespace is not a new one\n");
    ready = false;
  } else if (ready) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    ready = ioctl(control, SIOCSIFFLAGS, &request) == 0;
    if (!ready) {
      std::printf("skipped: cannot bring up the loopback of the new namespace\n");
    }
  }
  if (control >= 0) {
    close(control);
  }
  return ready;
}

}  // namespace

int main(int argc, char** argv) {
  if (!EnterOwnNetworkNamespace()) {
    return 77;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
