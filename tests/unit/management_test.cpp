// SPDX-License-Identifier: Apache-2.0
// Discovery and target preparation against a scripted socket: every datagram sent, byte for byte
// and with its destination, and what the caller is told.
#include <gtest/gtest.h>

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

}  // namespace
