// winsock2.h must come before windows.h, which would otherwise bring the older winsock.h.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <vector>

#include "net/datagram_endpoint.h"
#include "net/device_port.h"
#include "net/transfer_endpoint.h"
#include "private_network.h"

namespace {

// A plain socket standing in for the device or for a stranger, bound to `address`:`port`.
class Peer {
 public:
  Peer(const char* address, uint16_t port) : handle_(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = inet_addr(address);
    bound_ = bind(handle_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  }
  ~Peer() { closesocket(handle_); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  bool Bound() const { return bound_; }

  // The next datagram within `milliseconds`, remembering its sender; empty when none came.
  std::vector<uint8_t> Take(int milliseconds = 1000) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(handle_, &readable);
    timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &limit) != 1) {
      return {};
    }
    std::vector<uint8_t> bytes(2048);
    int length = sizeof sender_;
    const int count =
        recvfrom(handle_, reinterpret_cast<char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
                 reinterpret_cast<sockaddr*>(&sender_), &length);
    bytes.resize(count > 0 ? static_cast<size_t>(count) : 0);
    return bytes;
  }

  void Answer(const std::vector<uint8_t>& bytes) const { SendTo(sender_, bytes); }
  void SendTo(const sockaddr_in& to, const std::vector<uint8_t>& bytes) const {
    sendto(handle_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  const sockaddr_in& Sender() const { return sender_; }

 private:
  SOCKET handle_;
  bool bound_ = false;
  sockaddr_in sender_{};
};

// Variadic because the lambda's commas would split a single macro argument.
#define ENTER_PRIVATE_NETWORK(...)                                                     \
  if (!RunInPrivateNetwork(__VA_ARGS__)) {                                             \
    GTEST_SKIP() << "needs a network of its own (run by wine_run.py with --loopback)"; \
  }

template <typename Call>
double SecondsOf(Call call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(TransferEndpointWin32, FoldsEveryOutcomeOfWindowsSocketsIntoOneCount) {
  ENTER_PRIVATE_NETWORK([] {
    Peer device("127.0.0.1", DevicePort);
    ASSERT_TRUE(device.Bound());
    TransferEndpoint endpoint;
    ASSERT_EQ(endpoint.Open(TransferDatagramType), 1);
    ASSERT_EQ(endpoint.Connect("127.0.0.1", DevicePort), 1);
    const std::array<uint8_t, 16> peer = {AF_INET, 0, 0x00, 0x24, 127, 0, 0, 1};
    EXPECT_EQ(endpoint.peerAddress, peer);

    const std::vector<uint8_t> record(326, 0x33);
    EXPECT_EQ(endpoint.Send(record.data(), 326), 326);
    EXPECT_EQ(device.Take(), record);

    std::array<uint8_t, 1024> buffer{};
    device.Answer({'S'});
    EXPECT_EQ(endpoint.Receive(buffer.data(), 1024), 1);
    EXPECT_EQ(buffer[0], 'S');

    int result = -2;
    device.Answer({});
    EXPECT_LT(SecondsOf([&] { result = endpoint.Receive(buffer.data(), 1024); }), 0.5);
    EXPECT_EQ(result, 0) << "empty datagram";

    // Windows reports a datagram longer than the buffer as WSAEMSGSIZE; it counts as the bytes
    // kept, and the rest of it is gone.
    device.Answer(std::vector<uint8_t>(30, 'x'));
    device.Answer({'1'});
    EXPECT_EQ(endpoint.Receive(buffer.data(), 20), 20);
    EXPECT_EQ(endpoint.Receive(buffer.data(), 20), 1);
    EXPECT_EQ(buffer[0], '1');

    // WSAETIMEDOUT after the 1000 ms of SO_RCVTIMEO counts as 0.
    const double waited = SecondsOf([&] { result = endpoint.Receive(buffer.data(), 1024); });
    EXPECT_EQ(result, 0) << "time-out";
    EXPECT_GE(waited, 0.9);
    EXPECT_LT(waited, 3.0);

    EXPECT_EQ(endpoint.Close(), 0);
    EXPECT_EQ(endpoint.socketHandle, -1);
    EXPECT_EQ(endpoint.Close(), -1) << "a second close does nothing";
    EXPECT_EQ(endpoint.Receive(buffer.data(), 1024), -1);
  });
}

TEST(TransferEndpointWin32, NeverReturnsADatagramFromAnotherSource) {
  ENTER_PRIVATE_NETWORK([] {
    Peer device("127.0.0.1", DevicePort);
    Peer stranger("127.0.0.1", DevicePort + 1);
    ASSERT_TRUE(device.Bound() && stranger.Bound());
    TransferEndpoint endpoint;
    ASSERT_EQ(endpoint.Open(TransferDatagramType), 1);
    ASSERT_EQ(endpoint.Connect("127.0.0.1", DevicePort), 1);
    const uint8_t command = 'S';
    endpoint.Send(&command, 1);
    device.Take();
    stranger.SendTo(device.Sender(), {'S'});
    std::array<uint8_t, 1024> buffer{};
    int result = -2;
    EXPECT_GE(SecondsOf([&] { result = endpoint.Receive(buffer.data(), 1024); }), 0.9);
    EXPECT_EQ(result, 0);
  });
}

TEST(TransferEndpointWin32, WithoutAValidAddressNothingIsSent) {
  ENTER_PRIVATE_NETWORK([] {
    // 0.0.0.0 would reach this host, so a listener on every local address catches a stray send.
    Peer anywhere("0.0.0.0", DevicePort);
    ASSERT_TRUE(anywhere.Bound());
    for (const char* address : {"1.2.3", "0.0.0.0", "127.0.0.1x", ""}) {
      TransferEndpoint endpoint;
      ASSERT_EQ(endpoint.Open(TransferDatagramType), 1);
      EXPECT_EQ(endpoint.Connect(address, DevicePort), 0) << address;
      const uint8_t command = 'S';
      EXPECT_EQ(endpoint.Send(&command, 1), -1) << address;
    }
    EXPECT_TRUE(anywhere.Take(200).empty());
  });
}

TEST(DatagramEndpointWin32, ExchangesDatagramsAndCutsLongOnes) {
  ENTER_PRIVATE_NETWORK([] {
    Peer device("127.0.0.1", DevicePort);
    ASSERT_TRUE(device.Bound());
    DatagramEndpoint endpoint;
    ASSERT_TRUE(endpoint.Open());
    ASSERT_TRUE(endpoint.Open()) << "reopening closes the first socket";
    const std::vector<uint8_t> request(20, 0x40);
    EXPECT_EQ(endpoint.SendDatagram(request.data(), request.size(), DevicePort, "127.0.0.1  "), 20);
    EXPECT_EQ(device.Take(), request);

    device.Answer(std::vector<uint8_t>(30, 0xF0));
    device.Answer({1, 2, 3, 4, 5});
    uint8_t buffer[20];
    ASSERT_TRUE(endpoint.WaitReadable(1));
    EXPECT_EQ(endpoint.ReceiveDatagram(buffer, sizeof buffer), 20);
    EXPECT_EQ(buffer[19], 0xF0);
    ASSERT_TRUE(endpoint.WaitReadable(1));
    EXPECT_EQ(endpoint.ReceiveDatagram(buffer, sizeof buffer), 5);
    EXPECT_EQ(buffer[4], 5);
    // Nothing is queued: the receive fails at once instead of blocking.
    EXPECT_EQ(endpoint.ReceiveDatagram(buffer, sizeof buffer), -1);

    endpoint.Close();
    endpoint.Close();
    EXPECT_FALSE(endpoint.IsOpen());
  });
}

TEST(DatagramEndpointWin32, WaitsWholeSecondsAndSeesADatagramQueuedBefore) {
  ENTER_PRIVATE_NETWORK([] {
    DatagramEndpoint endpoint;
    ASSERT_TRUE(endpoint.Open());
    bool ready = true;
    const double silent = SecondsOf([&] { ready = endpoint.WaitReadable(1); });
    EXPECT_FALSE(ready);
    EXPECT_GE(silent, 0.95);
    EXPECT_LT(silent, 3.0);

    Peer device("127.0.0.1", DevicePort);
    ASSERT_TRUE(device.Bound());
    const uint8_t byte = 1;
    endpoint.SendDatagram(&byte, 1, DevicePort, "127.0.0.1");
    ASSERT_FALSE(device.Take().empty());
    device.Answer({7});
    Sleep(50);
    EXPECT_LT(SecondsOf([&] { ready = endpoint.WaitReadable(1); }), 0.5);
    EXPECT_TRUE(ready);
  });
}

TEST(DatagramEndpointWin32, AnUnreachablePortDoesNotLookLikeAReply) {
  ENTER_PRIVATE_NETWORK([] {
    DatagramEndpoint endpoint;
    ASSERT_TRUE(endpoint.Open());
    const uint8_t byte = 1;
    EXPECT_EQ(endpoint.SendDatagram(&byte, 1, DevicePort, "127.0.0.1"), 1);
    EXPECT_FALSE(endpoint.WaitReadable(1)) << "nobody listens: no reply, whatever came back";
  });
}

TEST(DatagramEndpointWin32, BroadcastNeedsTheOptionFirst) {
  ENTER_PRIVATE_NETWORK([] {
    DatagramEndpoint endpoint;
    ASSERT_TRUE(endpoint.Open());
    const uint8_t byte = 1;
    EXPECT_EQ(endpoint.SendDatagram(&byte, 1, DevicePort, nullptr), -1);
    EXPECT_TRUE(endpoint.EnableBroadcast());
  });
}

}  // namespace
