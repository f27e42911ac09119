#include "management/management_datagram.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
