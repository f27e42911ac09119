// Discovery and target preparation against a socket that plays the device: exact datagrams sent,
// calls made and console text for each thing the device may do.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "app/console.h"
#include "management/discovery.h"
#include "management/management_datagram.h"
#include "management/target_preparation.h"
#include "test_data.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Queued as an incoming datagram: the wait reports it, then its receive fails.
const Bytes FailedReceive = {};

// Hands out the queued datagrams, one per successful wait, and records every call (one letter
// each: Open, Broadcast, Send, Wait, Receive, Close) and every datagram sent with its destination.
// A wait with nothing queued is the silent second, not slept through.
class FakeSocket final : public ManagementSocket {
 public:
  bool openSucceeds = true;
  std::deque<Bytes> incoming;
  std::vector<Bytes> sent;
  std::vector<std::string> destinations;
  std::string calls;

  bool Call(char letter, bool result) {
    calls += letter;
    return result;
  }
  bool Open() override { return Call('O', openSucceeds); }
  bool EnableBroadcast() override { return Call('B', true); }
  int SendDatagram(std::span<const uint8_t> datagram, uint16_t port, const char* host) override {
    calls += 'S';
    sent.emplace_back(datagram.begin(), datagram.end());
    destinations.push_back((host == nullptr ? "broadcast" : host) + (":" + std::to_string(port)));
    return static_cast<int>(datagram.size());
  }
  bool WaitReadable(int seconds) override {
    return Call(seconds == 1 ? 'W' : '?', !incoming.empty());
  }
  int ReceiveDatagram(std::span<uint8_t> buffer) override {
    calls += 'R';
    if (incoming.empty()) {
      return -1;
    }
    const Bytes next = incoming.front();
    incoming.pop_front();
    // Bytes that did not arrive must never be read: these would pass for type 1.
    std::fill(buffer.begin(), buffer.end(), uint8_t{1});
    const size_t count = std::min(buffer.size(), next.size());
    std::copy_n(next.begin(), count, buffer.begin());
    return next.empty() ? -1 : static_cast<int>(count);
  }
  void Close() override { calls += 'C'; }
};

// A reply of `length` bytes: `code` at bytes 2..3, `address` at 4..7, the id A1..A6 at 12..17,
// `type` at 18..19 and 0x77 past byte 20.
Bytes Reply(uint16_t code, std::array<uint8_t, 4> address = {}, uint16_t type = 1,
            size_t length = 20) {
  Bytes bytes = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0, 0};
  std::copy(address.begin(), address.end(), bytes.begin() + 4);
  bytes[2] = static_cast<uint8_t>(code >> 8);
  bytes[3] = static_cast<uint8_t>(code);
  bytes[18] = static_cast<uint8_t>(type >> 8);
  bytes[19] = static_cast<uint8_t>(type);
  bytes.resize(length, 0x77);
  return bytes;
}

TEST(DiscoverDevice, CountsAnswersUntilASilentSecondAndWritesTheOnlyAddress) {
  const Bytes answer = Reply(CmdDiscover, {10, 0, 0, 2});
  const Bytes other = Reply(CmdIdentify, {10, 0, 0, 1});
  const Bytes shortAnswer = Reply(CmdDiscover, {10, 0, 0, 1}, 1, 19);
  const struct {
    const char* name;
    std::vector<Bytes> incoming;
    int count;
    std::string address;  // "" when the field must stay untouched
  } cases[] = {
      {"silence", {}, 0, ""},
      {"bytes above 127", {Reply(CmdDiscover, {0xFF, 0xFE, 0x80, 0xFF})}, 1, "255.254.128.255"},
      {"two answers", {answer, answer}, 2, ""},
      {"wrong code, then an answer", {other, answer}, 1, "10.0.0.2"},
      {"answer, then a wrong code", {answer, other}, 1, "10.0.0.2"},
      {"short answer, then an answer", {shortAnswer, answer}, 1, "10.0.0.2"},
      {"failed receive, then an answer", {FailedReceive, answer}, 1, "10.0.0.2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSocket socket;
    socket.incoming.assign(c.incoming.begin(), c.incoming.end());
    AddressText target{};
    target[1] = '#';  // an untouched field keeps this
    ConsoleCapture console;
    EXPECT_EQ(DiscoverDevice(socket, target), c.count);
    EXPECT_EQ(console.Text(), "");
    EXPECT_EQ(target.data(), c.address);
    EXPECT_EQ(target[1], c.address.empty() ? '#' : c.address[1]);
    std::string calls = "OBS";
    for (size_t i = 0; i < c.incoming.size(); ++i) {
      calls += "WR";
    }
    EXPECT_EQ(socket.calls, calls + "WC");
    EXPECT_EQ(socket.sent, std::vector<Bytes>{ManagementRequest(0x39)});
    EXPECT_EQ(socket.destinations, std::vector<std::string>{"broadcast:36"});
  }
}

// The setting record with the id of `Reply`.
Bytes Record(const std::string& setting) {
  return SettingRecordBytes({0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6}, setting);
}

TEST(PrepareTarget, EveryPathWithItsMessageAndDatagrams) {
  const Bytes identify = ManagementRequest(0x3E);
  const Bytes start = ManagementRequest(0x74);
  const Bytes sound = Reply(CmdIdentify);
  const Bytes anyCode = Reply(0x1234, {}, 1, 30);  // any echoed code, any length from 20 on
  const std::string longest = std::string(88, 'z') + "\xFE";  // bytes go out unconverted
  const char* const wrongType = "Device type incorrect\n";
  const struct {
    const char* name;
    std::vector<Bytes> incoming;
    std::string setting;
    int result;
    std::string output;
    std::vector<Bytes> sent;
  } cases[] = {
      {"silent device", {}, "abc", 0, "Device not found\n", {identify}},
      {"type 256", {Reply(CmdIdentify, {}, 0x100)}, "abc", 0, wrongType, {identify}},
      {"short reply", {Reply(CmdIdentify, {}, 1, 19)}, "", 0, wrongType, {identify}},
      {"failed receive", {FailedReceive}, "", 0, wrongType, {identify}},
      {"type 2, then 1", {Reply(CmdIdentify, {}, 2), sound}, "", 0, wrongType, {identify}},
      {"no setting", {sound}, "", 1, "", {identify, start}},
      {"setting A", {sound}, "A", 1, "", {identify, Record("A"), start}},
      {"longest setting", {anyCode}, longest, 1, "", {identify, Record(longest), start}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSocket socket;
    socket.incoming.assign(c.incoming.begin(), c.incoming.end());
    ConsoleCapture console;
    EXPECT_EQ(PrepareTarget(socket, "10.0.0.7 ", c.setting), c.result);
    EXPECT_EQ(console.Text(), c.output);
    EXPECT_EQ(socket.sent, c.sent);
    // The address text exactly as given; one wait, no broadcast, closed on every path.
    EXPECT_EQ(socket.destinations, std::vector<std::string>(c.sent.size(), "10.0.0.7 :36"));
    EXPECT_EQ(socket.calls, "OSW" + std::string(c.incoming.empty() ? "" : "R") +
                                std::string(c.sent.size() - 1, 'S') + "C");
  }
}

TEST(ManagementSocket, NothingIsSentWhenTheSocketCannotOpenOrTheSettingIsTooLong) {
  FakeSocket tooLong, closed, closedToo;
  tooLong.incoming.push_back(Reply(CmdIdentify));
  closed.openSucceeds = closedToo.openSucceeds = false;
  ConsoleCapture console;
  EXPECT_EQ(PrepareTarget(tooLong, "10.0.0.7", std::string(90, 'z')), 0);
  EXPECT_EQ(PrepareTarget(closed, "10.0.0.7", "abc"), 0);
  AddressText target{};
  EXPECT_EQ(DiscoverDevice(closedToo, target), 0);
  EXPECT_EQ(console.Text(), "Setting string too long\nSocket create error\nSocket create error\n");
  EXPECT_EQ(tooLong.calls + "|" + closed.calls + "|" + closedToo.calls, "|O|O");
}

}  // namespace
