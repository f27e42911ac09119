// The two socket classes on the platform's sockets, over the loopback of a network of their own:
// each outcome that the platform reports its own way, and the edge cases that the end-to-end
// suites cannot reach or cannot tell apart from the outside.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <thread>
#include <vector>

#include "net/datagram_endpoint.h"
#include "net/transfer_endpoint.h"
#include "private_network.h"

namespace {

using Bytes = std::vector<uint8_t>;

template <typename Call>
double SecondsOf(Call call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(TransferEndpoint, HearsOnlyItsPeerAndFoldsEveryOutcomeIntoOneCount) {
  ENTER_PRIVATE_NETWORK([] {
    Peer device("127.0.0.1");
    Peer stranger("127.0.0.1", 37);
    TransferEndpoint endpoint;
    ASSERT_EQ(endpoint.Open(), 1);
    ASSERT_EQ(endpoint.Connect("127.0.0.1", 36), 1);
    const Bytes record(326, 0x33);
    EXPECT_EQ(endpoint.Send(record.data(), 326), 326);
    EXPECT_EQ(device.Take(), record);
    // A datagram longer than the buffer (WSAEMSGSIZE on Windows) counts as the bytes kept, and
    // the rest of it is gone.
    device.Answer(Bytes(30, 'x'));
    device.Answer({'1'});
    std::array<uint8_t, 1024> buffer{};
    EXPECT_EQ(endpoint.Receive(buffer.data(), 20), 20);
    EXPECT_EQ(endpoint.Receive(buffer.data(), 20), 1);
    EXPECT_EQ(buffer[0], '1');
    // Replies that have already arrived are dropped without waiting, long ones included; the
    // time-out below then finds nothing left.
    device.Answer(Bytes(30, 'x'));
    device.Answer({'P'});
    device.Answer({'1'});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(endpoint.DiscardQueued(), 3);
    EXPECT_EQ(endpoint.DiscardQueued(), 0);
    // A stranger's datagram is never returned: the receive times out, and that counts as 0.
    stranger.Answer({'1'}, &device);
    int result = -2;
    const double waited = SecondsOf([&] { result = endpoint.Receive(buffer.data(), 1024); });
    EXPECT_EQ(result, 0);
    EXPECT_GE(waited, 0.9);
    EXPECT_LT(waited, 3.0);
  });
}

TEST(DatagramEndpoint, CutsALongDatagramWaitsWholeSecondsAndIgnoresUnreachablePorts) {
  ENTER_PRIVATE_NETWORK([] {
    DatagramEndpoint endpoint;
    ASSERT_TRUE(endpoint.Open());
    const Bytes request(20, 0x40);
    // Nobody listens: Windows would make the port-unreachable answer look like a reply.
    EXPECT_EQ(endpoint.SendDatagram(request.data(), 20, 36, "127.0.0.1"), 20);
    bool ready = true;
    const double silent = SecondsOf([&] { ready = endpoint.WaitReadable(1); });
    EXPECT_FALSE(ready);
    EXPECT_GE(silent, 0.95);
    EXPECT_LT(silent, 3.0);

    Peer device("127.0.0.1");
    EXPECT_EQ(endpoint.SendDatagram(request.data(), 20, 36, "127.0.0.1"), 20);
    EXPECT_EQ(device.Take(), request);
    const Bytes reply = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
                         15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29};
    device.Answer(reply);
    device.Answer({0xF1, 0xF2});
    std::array<uint8_t, 20> buffer{};
    ASSERT_TRUE(endpoint.WaitReadable(1));
    ASSERT_EQ(endpoint.ReceiveDatagram(buffer.data(), 20), 20);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.end()), Bytes(reply.begin(), reply.begin() + 20));
    ASSERT_TRUE(endpoint.WaitReadable(1));
    ASSERT_EQ(endpoint.ReceiveDatagram(buffer.data(), 20), 2);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 2), (Bytes{0xF1, 0xF2}));
    // Nothing is queued now: a receive fails at once instead of blocking.
    EXPECT_EQ(endpoint.ReceiveDatagram(buffer.data(), 20), -1);
  });
}

TEST(Endpoints, ReadAddressesAsDecimalPartsAndSendNothingWithoutOne) {
  ENTER_PRIVATE_NETWORK([] {
    const uint8_t byte = 'S';
    {
      // Read as octal (inet_addr does), 010 would be 127.0.0.8.
      Peer device("127.0.0.10");
      TransferEndpoint transfer;
      ASSERT_EQ(transfer.Open(), 1);
      EXPECT_EQ(transfer.Connect("127.000.000.010  ", 36), 1);
      EXPECT_EQ(transfer.Send(&byte, 1), 1);
      EXPECT_EQ(device.Take(), Bytes{'S'});
      DatagramEndpoint management;
      ASSERT_TRUE(management.Open());
      EXPECT_EQ(management.SendDatagram(&byte, 1, 36, "127.0.0.010  "), 1);
      EXPECT_EQ(device.Take(), Bytes{'S'});
    }
    // 0.0.0.0 would reach this host, so a listener on every local address catches a stray send.
    Peer anywhere("0.0.0.0");
    for (const char* address : {"1.2.3", "0.0.0.0", "127.0.0.1x", "", "localhost"}) {
      TransferEndpoint transfer;
      ASSERT_EQ(transfer.Open(), 1);
      EXPECT_EQ(transfer.Connect(address, 36), 0) << address;
      EXPECT_EQ(transfer.Send(&byte, 1), -1) << address;
      DatagramEndpoint management;
      ASSERT_TRUE(management.Open());
      EXPECT_EQ(management.SendDatagram(&byte, 1, 36, address), -1) << address;
    }
    EXPECT_TRUE(anywhere.Take(200).empty());
  });
}

}  // namespace
