#include "management/management_datagram.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_management_socket.h"

namespace {

std::vector<uint8_t> Bytes(std::span<const uint8_t> span) {
  return {span.begin(), span.end()};
}

TEST(BuildRequest, TheThreeRequestsByteForByte) {
  struct Case {
    uint16_t command;
    std::vector<uint8_t> expected;
  };
  const std::vector<uint8_t> zeros(16, 0);
  const Case cases[] = {
      {CmdDiscover, {0x43, 0x21, 0x30, 0x39}},
      {CmdIdentify, {0x43, 0x21, 0x30, 0x3E}},
      {CmdStartUpdate, {0x43, 0x21, 0x30, 0x74}},
  };
  for (Case c : cases) {
    SCOPED_TRACE(c.command);
    ManagementDatagram request;
    request.fill(0xEE);  // every byte is written, whatever the buffer held
    BuildRequest(request, c.command);
    c.expected.insert(c.expected.end(), zeros.begin(), zeros.end());
    EXPECT_EQ(Bytes(request), c.expected);
  }
}

const DeviceId SomeId = {0x01, 0x80, 0xFF, 0x00, 0x7F, 0x42};

TEST(BuildSettingRecord, OneCharacter) {
  SettingRecord record;
  record.fill(0xEE);
  ASSERT_TRUE(BuildSettingRecord(record, SomeId, "A"));
  std::vector<uint8_t> expected = {0x43, 0x21, 0x30, 0x3F, 3,    6,    0x01, 0x80,
                                   0xFF, 0x00, 0x7F, 0x42, 0x05, 0x01, 0x41, 0x00};
  expected.resize(SettingRecordSize, 0);
  EXPECT_EQ(Bytes(record), expected);
}

TEST(BuildSettingRecord, EightyNineCharactersFillTheRecordExactly) {
  std::string setting(89, 'x');
  setting.back() = '\xFE';  // bytes go out unconverted
  SettingRecord record;
  record.fill(0xEE);
  ASSERT_TRUE(BuildSettingRecord(record, SomeId, setting));
  EXPECT_EQ(record[12], 5);
  EXPECT_EQ(record[13], 89);
  EXPECT_EQ(record[14], 'x');
  EXPECT_EQ(record[101], 'x');
  EXPECT_EQ(record[102], 0xFE);
  EXPECT_EQ(record[103], 0);
  EXPECT_EQ(Bytes(std::span(record).subspan(6, 6)), Bytes(SomeId));
}

TEST(BuildSettingRecord, RefusesWhatDoesNotFitAndLeavesZeros) {
  for (size_t length : {size_t{0}, size_t{90}, size_t{1000}}) {
    SCOPED_TRACE(length);
    SettingRecord record;
    record.fill(0xEE);
    EXPECT_FALSE(BuildSettingRecord(record, SomeId, std::string(length, 'x')));
    EXPECT_EQ(Bytes(record), std::vector<uint8_t>(SettingRecordSize, 0));
  }
}

TEST(ReplyFields, ReadAtTheirOffsetsMostSignificantByteFirst) {
  ManagementDatagram reply{};
  for (size_t i = 0; i < reply.size(); ++i) {
    reply[i] = static_cast<uint8_t>(0xF0 + i);  // high bytes: nothing may be read as signed
  }
  EXPECT_EQ(ReplyCommandCode(reply), 0xF2F3);
  EXPECT_EQ(ReplyDeviceAddress(reply), (std::array<uint8_t, 4>{0xF4, 0xF5, 0xF6, 0xF7}));
  EXPECT_EQ(ReplyDeviceId(reply), (DeviceId{0xFC, 0xFD, 0xFE, 0xFF, 0x00, 0x01}));
  EXPECT_EQ(ReplyDeviceType(reply), 0x0203);
}

TEST(IsDiscoveryAnswer, OnlyAWholeReplyEchoingTheCodeCounts) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool counts;
  };
  const Case cases[] = {
      {"echo", Reply(CmdDiscover), true},
      {"30 bytes", Reply(CmdDiscover, {1, 2, 3, 4}, 1, 30), true},
      {"code in little-endian order", Reply(0x3930), false},
      {"other code", Reply(CmdIdentify), false},
      {"19 bytes", Reply(CmdDiscover, {1, 2, 3, 4}, 1, 19), false},
      {"4 bytes", Reply(CmdDiscover, {1, 2, 3, 4}, 1, 4), false},
      {"empty", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsDiscoveryAnswer(c.bytes), c.counts);
  }
}

TEST(IsExpectedDevice, TypeOneOnlyJudgedOnTheBytesThatArrived) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool accepted;
  };
  const Case cases[] = {
      {"type 1", Reply(CmdIdentify, {0, 0, 0, 0}, 1), true},
      {"type 1, any echoed code", Reply(0xBEEF, {0, 0, 0, 0}, 1), true},
      {"type 1, 30 bytes", Reply(CmdIdentify, {0, 0, 0, 0}, 1, 30), true},
      {"type 2", Reply(CmdIdentify, {0, 0, 0, 0}, 2), false},
      {"type 256", Reply(CmdIdentify, {0, 0, 0, 0}, 0x0100), false},
      {"type 0x0101", Reply(CmdIdentify, {0, 0, 0, 0}, 0x0101), false},
      {"19 bytes", Reply(CmdIdentify, {0, 0, 0, 0}, 1, 19), false},
      {"nothing", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsExpectedDevice(c.bytes), c.accepted);
  }
}

TEST(FormatDeviceAddress, DottedDecimalUnsigned) {
  struct Case {
    std::array<uint8_t, 4> address;
    std::string text;
  };
  const Case cases[] = {
      {{0x0A, 0x00, 0x00, 0xC8}, "10.0.0.200"},
      {{0xFF, 0xFF, 0xFF, 0xFF}, "255.255.255.255"},
      {{0, 0, 0, 0}, "0.0.0.0"},
  };
  for (const Case& c : cases) {
    AddressText text;
    text.fill('#');
    FormatDeviceAddress(c.address, text);
    EXPECT_EQ(std::string(text.data()), c.text);
  }
}

}  // namespace
