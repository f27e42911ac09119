// SPDX-License-Identifier: Apache-2.0
// The transfer and datagram endpoints on the platform's sockets, over a loopback: what the
// end-to-end runs cannot tell apart from outside. Runs only where the harness promises a network
// namespace of its own with its loopback up (TORVANE_PRIVATE_LOOPBACK); skipped everywhere else.
#ifdef _WIN32
#include <winsock2.h>
using Handle = SOCKET;
using AddressLength = int;
const DWORD OneSecond = 1000;
const bool DropsCounted = false;
#else
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
using Handle = int;
using AddressLength = socklen_t;
const timeval OneSecond{1, 0};
const bool DropsCounted = true;
#define closesocket close
#endif

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "common/platform_startup.h"
#include "net/datagram_endpoint.h"
#include "net/transfer_endpoint.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A plain socket bound to `address`:`port`, standing in for the device or a stranger.
struct Peer {
  Peer(const char* address, uint16_t port) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = inet_addr(address);
    EXPECT_EQ(bind(handle, reinterpret_cast<sockaddr*>(&local), sizeof local), 0) << address;
    setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&OneSecond),
               sizeof OneSecond);
  }
  ~Peer() { closesocket(handle); }

  // The next datagram within a second, its sender kept; empty when none came.
  Bytes Take() {
    Bytes bytes(2048);
    AddressLength length = sizeof sender;
    const auto count = recvfrom(handle, reinterpret_cast<char*>(bytes.data()), 2048, 0,
                                reinterpret_cast<sockaddr*>(&sender), &length);
    bytes.resize(count > 0 ? count : 0);
    return bytes;
  }
  void Answer(const Bytes& bytes, const sockaddr_in& to) const {
    sendto(handle, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  void Answer(const Bytes& bytes) const { Answer(bytes, sender); }

  Handle handle = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sender{};
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(TransferEndpoint, KeepsToItsPeerCutsLongRepliesAndDropsWhatIsQueued) {
  if (std::getenv("TORVANE_PRIVATE_LOOPBACK") == nullptr) {
    GTEST_SKIP() << "sends datagrams: only in a network namespace of its own";
  }
  ASSERT_EQ(StartSocketLibrary(), 1);
  {
    // The address text with leading zeros and trailing spaces, as the run hands it on.
    Peer device("127.0.0.1", 36);
    Peer stranger("127.0.0.1", 37);
    TransferEndpoint endpoint;
    ASSERT_EQ(endpoint.Open(), 1);
    ASSERT_EQ(endpoint.Connect("127.000.000.001  ", 36), 1);
    const Bytes record(326, 0x33);
    EXPECT_EQ(endpoint.Send(record.data(), 326), 326);
    EXPECT_EQ(device.Take(), record);
    // A longer datagram gives the bytes kept, its rest gone; a one-byte one its byte.
    std::array<uint8_t, 1024> buffer{};
    device.Answer(Bytes(30, 'x'));
    device.Answer({'1'});
    EXPECT_EQ(endpoint.Receive(buffer.data(), 20), 20);
    EXPECT_EQ(endpoint.Receive(buffer.data(), 20), 1);
    EXPECT_EQ(buffer[0], '1');
    // What has arrived is dropped without a wait; with a quiet period, what comes within it too.
    device.Answer(Bytes(30, 'x'));
    device.Answer({'P'});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(endpoint.DiscardQueued(), 2);
    std::thread late([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      device.Answer({'1'});
    });
    EXPECT_EQ(endpoint.DiscardQueued(300), 1);
    late.join();
    // A stranger's datagram is never taken: the receive times out after a second, as 0.
    stranger.Answer({'1'}, device.sender);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(endpoint.Receive(buffer.data(), 1024), 0);
    EXPECT_GE(SecondsSince(start), 0.9);
    EXPECT_LT(SecondsSince(start), 3.0);
  }
  StopSocketLibrary();
}

// Sends `count` 20-byte datagrams to the endpoint that `peer` last heard from, all at once, then
// lets them arrive; returns how many of them `endpoint` can take.
int TakeABurst(Peer& peer, DatagramEndpoint& endpoint, int count) {
  for (int i = 0; i < count; ++i) {
    peer.Answer(Bytes(20, 'a'), peer.sender);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  int taken = 0;
  std::array<uint8_t, 20> buffer{};
  for (UdpAddress sender; endpoint.ReceiveDatagramFrom(buffer.data(), 20, sender) == 20;) {
    ++taken;
  }
  return taken;
}

TEST(DatagramEndpoint, TellsTheSenderKeepsABurstAndCountsWhatWasDropped) {
  if (std::getenv("TORVANE_PRIVATE_LOOPBACK") == nullptr) {
    GTEST_SKIP() << "sends datagrams: only in a network namespace of its own";
  }
  ASSERT_EQ(StartSocketLibrary(), 1);
  {
    Peer device("127.0.0.2", 36);
    DatagramEndpoint roomy, plain;
    ASSERT_TRUE(roomy.Open() && plain.Open());
    // 1024 answers of a few hundred bytes each in the system's accounting, and some room.
    ASSERT_TRUE(roomy.SetBufferSizes(4 << 20));
    const Bytes identify(20, 'i');
    ASSERT_EQ(roomy.SendDatagram(identify.data(), 20, 36, "127.0.0.2"), 20);
    EXPECT_EQ(device.Take(), identify);
    device.Answer(Bytes(30, 'x'));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::array<uint8_t, 20> buffer{};
    UdpAddress sender;
    EXPECT_EQ(roomy.ReceiveDatagramFrom(buffer.data(), 20, sender), 20);
    EXPECT_EQ(sender.address, inet_addr("127.0.0.2"));
    EXPECT_EQ(sender.port, 36);
    // The system's default buffer keeps about 256 of 400 answers that nobody reads meanwhile
    // (Linux counts the rest); the buffer asked for keeps them all.
    EXPECT_EQ(TakeABurst(device, roomy, 400), 400);
    EXPECT_EQ(roomy.DroppedDatagrams(), DropsCounted ? 0 : -1);
    ASSERT_EQ(plain.SendDatagram(identify.data(), 20, 36, "127.0.0.2"), 20);
    EXPECT_EQ(device.Take(), identify);
    const int taken = TakeABurst(device, plain, 400);
    EXPECT_LT(taken, 400);
    EXPECT_EQ(plain.DroppedDatagrams(), DropsCounted ? 400 - taken : -1);
  }
  StopSocketLibrary();
}

}  // namespace
