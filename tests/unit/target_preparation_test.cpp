#include "management/target_preparation.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "app/console.h"
#include "fake_management_socket.h"

namespace {

using Incoming = FakeManagementSocket::Incoming;

std::vector<uint8_t> Request(uint8_t code) {
  std::vector<uint8_t> bytes(20, 0);
  bytes[0] = 0x43;
  bytes[1] = 0x21;
  bytes[2] = 0x30;
  bytes[3] = code;
  return bytes;
}

const std::vector<uint8_t> Identify = Request(0x3E);
const std::vector<uint8_t> StartUpdate = Request(0x74);

std::vector<uint8_t> Record(const std::string& setting) {
  std::vector<uint8_t> bytes = {
      0x43, 0x21, 0x30, 0x3F, 3,    6, 0xA1,
      0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 5, static_cast<uint8_t>(setting.size())};
  bytes.resize(104, 0);
  std::copy(setting.begin(), setting.end(), bytes.begin() + 14);
  return bytes;
}

TEST(PrepareTarget, EveryPathWithItsMessageAndDatagrams) {
  struct Case {
    const char* name;
    std::vector<Incoming> incoming;
    std::string setting;
    int result;
    std::string output;
    std::vector<std::vector<uint8_t>> sent;
  };
  const std::string longest(89, 'z');
  const Case cases[] = {
      {"silent device", {}, "abc", 0, "Device not found\n", {Identify}},
      {"type 2",
       {{Reply(CmdIdentify, {0, 0, 0, 0}, 2)}},
       "abc",
       0,
       "Device type incorrect\n",
       {Identify}},
      {"type 256",
       {{Reply(CmdIdentify, {0, 0, 0, 0}, 0x0100)}},
       "abc",
       0,
       "Device type incorrect\n",
       {Identify}},
      {"short reply",
       {{Reply(CmdIdentify, {0, 0, 0, 0}, 1, 19)}},
       "",
       0,
       "Device type incorrect\n",
       {Identify}},
      {"receive fails", {{Reply(CmdIdentify), true}}, "", 0, "Device type incorrect\n", {Identify}},
      {"no setting", {{Reply(CmdIdentify)}}, "", 1, "", {Identify, StartUpdate}},
      {"setting A", {{Reply(CmdIdentify)}}, "A", 1, "", {Identify, Record("A"), StartUpdate}},
      {"setting of 89",
       {{Reply(CmdIdentify)}},
       longest,
       1,
       "",
       {Identify, Record(longest), StartUpdate}},
      {"any echoed code, 30 bytes",
       {{Reply(0x1234, {0, 0, 0, 0}, 1, 30)}},
       "s",
       1,
       "",
       {Identify, Record("s"), StartUpdate}},
      {"only the first datagram is read",
       {{Reply(CmdIdentify, {0, 0, 0, 0}, 2)}, {Reply(CmdIdentify)}},
       "",
       0,
       "Device type incorrect\n",
       {Identify}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeManagementSocket socket;
    socket.incoming.assign(c.incoming.begin(), c.incoming.end());
    ConsoleCapture console;

    EXPECT_EQ(PrepareTarget(socket, "10.0.0.7 ", c.setting), c.result);

    EXPECT_EQ(console.Text(), c.output);
    ASSERT_EQ(socket.sent.size(), c.sent.size());
    for (size_t i = 0; i < c.sent.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(socket.sent[i].bytes, c.sent[i]);
      EXPECT_EQ(socket.sent[i].port, 36);
      EXPECT_EQ(socket.sent[i].host, "10.0.0.7 ");  // the text exactly as given
    }
    // One wait of one second, no broadcast, and the socket closed on every path.
    EXPECT_EQ(socket.calls[0], "open");
    EXPECT_EQ(socket.calls[2], "wait 1");
    EXPECT_EQ(std::count(socket.calls.begin(), socket.calls.end(), "wait 1"), 1);
    EXPECT_EQ(std::count(socket.calls.begin(), socket.calls.end(), "broadcast"), 0);
    EXPECT_EQ(socket.calls.back(), "close");
    EXPECT_FALSE(socket.open);
  }
}

TEST(PrepareTarget, RefusedBeforeAnythingIsOpenedOrSent) {
  struct Case {
    bool openSucceeds;
    std::string setting;
    std::string output;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {true, std::string(90, 'z'), "Setting string too long\n", {}},
      {false, std::string(90, 'z'), "Setting string too long\n", {}},
      {false, "abc", "Socket create error\n", {"open"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    FakeManagementSocket socket;
    socket.openSucceeds = c.openSucceeds;
    socket.incoming.push_back({Reply(CmdIdentify)});
    ConsoleCapture console;
    EXPECT_EQ(PrepareTarget(socket, "10.0.0.7", c.setting), 0);
    EXPECT_EQ(console.Text(), c.output);
    EXPECT_EQ(socket.calls, c.calls);
  }
}

}  // namespace
