#include "management/discovery.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/console.h"
#include "fake_management_socket.h"

namespace {

const std::vector<uint8_t> DiscoverRequest = {0x43, 0x21, 0x30, 0x39, 0, 0, 0, 0, 0, 0,
                                              0,    0,    0,    0,    0, 0, 0, 0, 0, 0};

using Incoming = FakeManagementSocket::Incoming;

TEST(DiscoverDevice, CountsAnswersAndWritesTheAddressOfTheOnlyOne) {
  struct Case {
    const char* name;
    std::vector<Incoming> incoming;
    int count;
    std::string address;  // "" when the field must stay untouched
  };
  const Case cases[] = {
      {"silence", {}, 0, ""},
      {"one answer", {{Reply(CmdDiscover, {0x0A, 0, 0, 0xC8})}}, 1, "10.0.0.200"},
      {"all bytes above 127",
       {{Reply(CmdDiscover, {0xFF, 0xFE, 0x80, 0xFF})}},
       1,
       "255.254.128.255"},
      {"30-byte answer", {{Reply(CmdDiscover, {10, 1, 2, 3}, 1, 30)}}, 1, "10.1.2.3"},
      {"two answers",
       {{Reply(CmdDiscover, {10, 0, 0, 1})}, {Reply(CmdDiscover, {10, 0, 0, 2})}},
       2,
       ""},
      {"code in little-endian order", {{Reply(0x3930, {10, 0, 0, 1})}}, 0, ""},
      {"wrong code, then an answer",
       {{Reply(CmdIdentify, {10, 0, 0, 1})}, {Reply(CmdDiscover, {10, 0, 0, 2})}},
       1,
       "10.0.0.2"},
      {"answer, then a wrong code",
       {{Reply(CmdDiscover, {10, 0, 0, 2})}, {Reply(CmdIdentify, {10, 0, 0, 1})}},
       1,
       "10.0.0.2"},
      {"short datagram only", {{Reply(CmdDiscover, {10, 0, 0, 1}, 1, 19)}}, 0, ""},
      {"short datagram, then an answer",
       {{Reply(CmdDiscover, {10, 0, 0, 1}, 1, 7)}, {Reply(CmdDiscover, {10, 0, 0, 2})}},
       1,
       "10.0.0.2"},
      {"failed receive, then an answer",
       {{Reply(CmdDiscover, {10, 0, 0, 1}), true}, {Reply(CmdDiscover, {10, 0, 0, 2})}},
       1,
       "10.0.0.2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeManagementSocket socket;
    socket.incoming.assign(c.incoming.begin(), c.incoming.end());
    AddressText target{};
    target[0] = '\0';
    target[1] = '#';  // an untouched field keeps this
    ConsoleCapture console;

    EXPECT_EQ(DiscoverDevice(socket, target), c.count);

    EXPECT_EQ(console.Text(), "");
    if (c.address.empty()) {
      EXPECT_EQ(target[0], '\0');
      EXPECT_EQ(target[1], '#');
    } else {
      EXPECT_EQ(std::string(target.data()), c.address);
    }
    // One broadcast request, then one receive per datagram, until the first silent second.
    std::vector<std::string> calls = {"open", "broadcast", "send"};
    for (size_t i = 0; i < c.incoming.size(); ++i) {
      calls.insert(calls.end(), {"wait 1", "receive"});
    }
    calls.insert(calls.end(), {"wait 1", "close"});
    EXPECT_EQ(socket.calls, calls);
    ASSERT_EQ(socket.sent.size(), 1u);
    EXPECT_EQ(socket.sent[0].bytes, DiscoverRequest);
    EXPECT_EQ(socket.sent[0].port, 36);
    EXPECT_EQ(socket.sent[0].host, "");
    EXPECT_EQ(socket.silentSeconds, 1);
  }
}

TEST(DiscoverDevice, OpenFailureSendsNothing) {
  FakeManagementSocket socket;
  socket.openSucceeds = false;
  AddressText target{};
  ConsoleCapture console;
  EXPECT_EQ(DiscoverDevice(socket, target), 0);
  EXPECT_EQ(console.Text(), "Socket create error\n");
  EXPECT_EQ(socket.calls, std::vector<std::string>{"open"});
  EXPECT_EQ(target[0], '\0');
}

}  // namespace
