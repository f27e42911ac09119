#include "net/transfer_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "private_network.h"

namespace {

// A UDP socket standing in for the device or for a stranger, bound to `address`:`port`.
class Peer {
 public:
  Peer(const char* address, uint16_t port) : handle_(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    inet_pton(AF_INET, address, &local.sin_addr);
    bound_ = bind(handle_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  }
  ~Peer() { close(handle_); }
  bool Bound() const { return bound_; }

  // The next datagram within `milliseconds`, remembering its sender; empty when none came.
  std::vector<uint8_t> Take(int milliseconds = 1000) {
    pollfd ready{handle_, POLLIN, 0};
    if (poll(&ready, 1, milliseconds) != 1) {
      return {};
    }
    std::vector<uint8_t> bytes(2048);
    socklen_t length = sizeof sender_;
    const ssize_t count = recvfrom(handle_, bytes.data(), bytes.size(), 0,
                                   reinterpret_cast<sockaddr*>(&sender_), &length);
    bytes.resize(count > 0 ? static_cast<size_t>(count) : 0);
    taken_ = count >= 0;
    return bytes;
  }
  bool TookAny() const { return taken_; }

  void Answer(const std::vector<uint8_t>& bytes) const {
    sendto(handle_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&sender_),
           sizeof sender_);
  }
  void SendTo(const sockaddr_in& to, const std::vector<uint8_t>& bytes) const {
    sendto(handle_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
  }
  const sockaddr_in& Sender() const { return sender_; }

 private:
  int handle_;
  bool bound_ = false;
  bool taken_ = false;
  sockaddr_in sender_{};
};

// Variadic because the lambda's commas would split a single macro argument.
#define ENTER_PRIVATE_NETWORK(...)                                              \
  if (!RunInPrivateNetwork(__VA_ARGS__)) {                                      \
    GTEST_SKIP() << "cannot create an isolated network namespace (needs root)"; \
  }

int ReceiveTimed(TransferEndpoint& endpoint, uint8_t* buffer, int capacity, double& seconds) {
  const auto start = std::chrono::steady_clock::now();
  const int result = endpoint.Receive(buffer, capacity);
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

TEST(TransferEndpointTest, ExchangesDatagramsWithItsPeerAndFoldsEveryOutcomeIntoOneCount) {
  ENTER_PRIVATE_NETWORK([] {
    Peer device("127.0.0.1", 36);
    ASSERT_TRUE(device.Bound());
    TransferEndpoint endpoint;
    ASSERT_EQ(endpoint.Open(TransferDatagramType), 1);
    ASSERT_EQ(endpoint.Connect("127.0.0.1", 36), 1);
    const std::array<uint8_t, 16> peer = {AF_INET & 0xFF, AF_INET >> 8, 0x00, 0x24, 127, 0, 0, 1};
    EXPECT_EQ(endpoint.peerAddress, peer);

    std::vector<uint8_t> record(326, 0x33);
    EXPECT_EQ(endpoint.Send(record.data(), 326), 326);
    EXPECT_EQ(device.Take(), record);

    std::array<uint8_t, 1024> buffer{};
    device.Answer({'S'});
    EXPECT_EQ(endpoint.Receive(buffer.data(), 1024), 1);
    EXPECT_EQ(buffer[0], 'S');

    double seconds = 0;
    device.Answer({});
    EXPECT_EQ(ReceiveTimed(endpoint, buffer.data(), 1024, seconds), 0) << "empty datagram";
    EXPECT_LT(seconds, 0.5);

    // A datagram longer than the buffer is cut, and the rest of it is gone.
    device.Answer(std::vector<uint8_t>(30, 'x'));
    device.Answer({'1'});
    EXPECT_EQ(endpoint.Receive(buffer.data(), 20), 20);
    EXPECT_EQ(endpoint.Receive(buffer.data(), 20), 1);
    EXPECT_EQ(buffer[0], '1');

    EXPECT_EQ(ReceiveTimed(endpoint, buffer.data(), 1024, seconds), 0) << "time-out";
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 3.0);

    EXPECT_EQ(endpoint.Close(), 0);
    EXPECT_EQ(endpoint.socketHandle, -1);
    EXPECT_EQ(endpoint.Close(), -1) << "a second close does nothing";
    EXPECT_EQ(endpoint.Receive(buffer.data(), 1024), -1);
  });
}

TEST(TransferEndpointTest, NeverReturnsADatagramFromAnotherSource) {
  ENTER_PRIVATE_NETWORK([] {
    Peer device("127.0.0.1", 36);
    Peer stranger("127.0.0.1", 37);
    ASSERT_TRUE(device.Bound() && stranger.Bound());
    TransferEndpoint endpoint;
    ASSERT_EQ(endpoint.Open(TransferDatagramType), 1);
    ASSERT_EQ(endpoint.Connect("127.0.0.1", 36), 1);
    const uint8_t command = 'S';
    endpoint.Send(&command, 1);
    device.Take();
    stranger.SendTo(device.Sender(), {'S'});
    std::array<uint8_t, 1024> buffer{};
    double seconds = 0;
    EXPECT_EQ(ReceiveTimed(endpoint, buffer.data(), 1024, seconds), 0);
    EXPECT_GE(seconds, 0.9);
  });
}

TEST(TransferEndpointTest, ReadsTheAddressAsDecimalPartsWithTrailingSpaces) {
  ENTER_PRIVATE_NETWORK([] {
    // Read as octal, 010 would be 127.0.0.8.
    Peer device("127.0.0.10", 36);
    ASSERT_TRUE(device.Bound());
    TransferEndpoint endpoint;
    ASSERT_EQ(endpoint.Open(TransferDatagramType), 1);
    ASSERT_EQ(endpoint.Connect("127.000.000.010  ", 36), 1);
    EXPECT_EQ(endpoint.peerAddress[7], 10);
    const uint8_t command = 'S';
    EXPECT_EQ(endpoint.Send(&command, 1), 1);
    EXPECT_EQ(device.Take(), std::vector<uint8_t>{'S'});
  });
}

TEST(TransferEndpointTest, WithoutAValidAddressNothingIsSent) {
  ENTER_PRIVATE_NETWORK([] {
    // 0.0.0.0 would reach this host, so a listener on every local address catches a stray send.
    Peer anywhere("0.0.0.0", 36);
    ASSERT_TRUE(anywhere.Bound());
    for (const char* address : {"1.2.3", "0.0.0.0", "127.0.0.1x", "", "256.0.0.1"}) {
      TransferEndpoint endpoint;
      ASSERT_EQ(endpoint.Open(TransferDatagramType), 1);
      EXPECT_EQ(endpoint.Connect(address, 36), 0) << address;
      const std::array<uint8_t, 16> noPeer{};
      EXPECT_EQ(endpoint.peerAddress, noPeer) << address;
      const uint8_t command = 'S';
      EXPECT_EQ(endpoint.Send(&command, 1), -1) << address;
    }
    EXPECT_TRUE(anywhere.Take(200).empty());
    EXPECT_FALSE(anywhere.TookAny());
  });
}

TEST(TransferEndpointTest, AFailureOtherThanATimeOutIsMinusOne) {
  ENTER_PRIVATE_NETWORK([] {
    // Nobody listens on port 36: the refusal comes back as an error on the next receive.
    TransferEndpoint endpoint;
    ASSERT_EQ(endpoint.Open(TransferDatagramType), 1);
    ASSERT_EQ(endpoint.Connect("127.0.0.1", 36), 1);
    const uint8_t command = 'S';
    EXPECT_EQ(endpoint.Send(&command, 1), 1);
    std::array<uint8_t, 1024> buffer{};
    EXPECT_EQ(endpoint.Receive(buffer.data(), 1024), -1);
    EXPECT_EQ(endpoint.Send(&command, -1), -1);
  });
}

}  // namespace
