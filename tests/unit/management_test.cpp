// SPDX-License-Identifier: Apache-2.0
// Discovery and target preparation against a scripted socket: every datagram sent, byte for byte
// and with its destination, and what the caller is told.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "app/console.h"
#include "management/discovery.h"
#include "management/target_preparation.h"
#include "scripted_device.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A 20-byte reply: the echoed code, the address 255.254.128.255, the id a1..a6 and type 1.
const Bytes Reply = {0x43, 0x21, 0x30, 0x3E, 0xFF, 0xFE, 0x80, 0xFF, 0,    0,
                     0,    0,    0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0x00, 0x01};
const std::string Zeros16(32, '0');
const std::string Identify = "10.0.0.7 :36 4321303e" + Zeros16;
const std::string Start = "10.0.0.7 :36 43213074" + Zeros16;
// 89 characters, the longest setting, one of them above 127: its bytes go out unchanged, and its
// terminating zero ends the 104-byte record.
const std::string Longest = "\xE9" + std::string(88, '3');
const std::string SettingRecordBytes =
    "10.0.0.7 :36 4321303f0306a1a2a3a4a5a60559e9" + std::string(176, '3') + "00";

TEST(Management, SendsTheseBytesAndReportsThis) {
  const struct {
    const char* name;
    bool discover;  // DiscoverDevice; otherwise PrepareTarget("10.0.0.7 ", setting)
    bool opens;
    std::string setting;
    std::string outcome;  // the result, the address found and the console
    std::vector<std::string> sent;
  } cases[] = {
      {"discovery", true, true, "", "1 255.254.128.255", {"broadcast:36 43213039" + Zeros16}},
      {"discovery without a socket", true, false, "", "0 Socket create error\n", {}},
      {"no setting", false, true, "", "1 ", {Identify, Start}},
      {"longest setting", false, true, Longest, "1 ", {Identify, SettingRecordBytes, Start}},
      {"setting too long", false, true, Longest + "z", "0 Setting string too long\n", {}},
      {"preparation without a socket", false, false, "", "0 Socket create error\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSocket socket;
    socket.opens = c.opens;
    socket.incoming.push_back(Reply);
    if (c.discover) {
      socket.incoming.front()[3] = 0x39;
    }
    AddressText target{};
    ConsoleCapture console;
    const int result =
        c.discover ? DiscoverDevice(socket, target) : PrepareTarget(socket, "10.0.0.7 ", c.setting);
    EXPECT_EQ(std::to_string(result) + " " + target.data() + console.Text(), c.outcome);
    EXPECT_EQ(socket.sent, c.sent);
    EXPECT_FALSE(socket.open) << "left open";
  }
}

UdpAddress From(uint8_t last, uint16_t port = 36) {
  const std::array<uint8_t, 4> bytes = {10, 0, 0, last};
  UdpAddress address{0, port};
  std::memcpy(&address.address, bytes.data(), sizeof address.address);
  return address;
}

// What torvane-devices takes for an identify answer: only a whole one, echoing the identify code,
// from the address asked, port 36; what the utility takes is above.
TEST(Management, DevicesTakeAnIdentifyAnswerOnlyFromTheDeviceAsked) {
  Bytes discovery = Reply;
  discovery[3] = 0x39;
  const struct {
    const char* name;
    std::vector<std::pair<Bytes, UdpAddress>> replies;
    std::string outcome;  // PrepareDevice's result (PreparationResult) and the datagrams sent
  } cases[] = {
      {"the device's answer", {{Reply, From(7)}}, "0 3"},
      {"another host's", {{Reply, From(8)}}, "3 1"},
      {"another port's", {{Reply, From(7, 37)}}, "3 1"},
      {"19 bytes", {{Bytes(Reply.begin(), Reply.end() - 1), From(7)}}, "3 1"},
      {"empty", {{{}, From(7)}}, "3 1"},
      {"the discovery code", {{discovery, From(7)}}, "3 1"},
      {"a stranger first, then the device", {{Reply, From(8)}, {Reply, From(7)}}, "0 3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSocket socket;
    for (const auto& [bytes, sender] : c.replies) {
      socket.incoming.push_back(bytes);
      socket.senders.push_back(sender);
    }
    const Preparation preparation = PrepareDevice(socket, "10.0.0.7", "S");
    EXPECT_EQ(std::to_string(static_cast<int>(preparation.result)) + " " +
                  std::to_string(socket.sent.size()),
              c.outcome);
    EXPECT_FALSE(socket.open);
  }
}

TEST(Management, DevicesIdentifyManyAtOnceAndDiscoverBySender) {
  // Two targets asked in turn from one socket, their answers in the other order.
  ScriptedSocket identify;
  Bytes second = Reply;
  second[19] = 2;
  identify.incoming = {second, Reply};
  identify.senders = {From(8), From(7)};
  const std::string targets[] = {"10.0.0.7", "10.0.0.8", "10.0.0.9"};
  const std::vector<Identification> identities = IdentifyDevices(identify, targets);
  ASSERT_EQ(identities.size(), 3U);
  EXPECT_EQ(identify.sent, (std::vector<std::string>{"10.0.0.7:36 4321303e" + Zeros16,
                                                     "10.0.0.8:36 4321303e" + Zeros16,
                                                     "10.0.0.9:36 4321303e" + Zeros16}));
  EXPECT_EQ(identities[0].deviceType, 1);
  EXPECT_EQ(identities[1].deviceType, 2);
  EXPECT_EQ(identities[2].result, IdentifyResult::NoAnswer);
  EXPECT_EQ(identify.bufferBytes, 3 * 4096);
  // Discovery by sender keeps 10.0.0.7, which announced another address, and ignores an answer
  // from port 37; the system's count of dropped datagrams is handed on.
  ScriptedSocket discovery;
  discovery.incoming = {Reply, Reply};
  discovery.incoming[0][3] = discovery.incoming[1][3] = 0x39;
  discovery.senders = {From(9, 37), From(7)};
  discovery.dropped = 5;
  DiscoveryRequest request;
  request.bySender = true;
  request.keptAddresses = 1024;
  std::vector<std::string> heard;
  request.heard = [&heard](const DiscoveredDevice& device) {
    heard.push_back(FormatAddress(device.address) + " " + FormatAddress(device.announced));
  };
  const DiscoveryOutcome outcome = Discover(discovery, request);
  EXPECT_EQ(heard, std::vector<std::string>{"10.0.0.7 255.254.128.255"});
  EXPECT_EQ(outcome.answers, 1);
  EXPECT_TRUE(outcome.requestSent);
  EXPECT_EQ(outcome.dropped, 5);
  EXPECT_EQ(discovery.bufferBytes, 1024 * 4096);
}

}  // namespace
