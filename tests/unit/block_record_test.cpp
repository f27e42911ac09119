#include "transfer/block_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <numeric>

#include "test_data.h"

namespace {

TEST(BlockRecord, CarriesTheFileBytesAndTheOffsetMaskedWithThePad) {
  const auto file = PatternBytes(ImageCapacity, 7);
  const auto image = LoadedImage(file);
  std::array<uint8_t, BlockRecordPadSize> pad;
  std::iota(pad.begin(), pad.end(), uint8_t{0xA0});
  const struct {
    char command;
    uint32_t offset;
    std::array<uint8_t, 4> clear;  // most significant byte first
  } cases[] = {
      {'P', 0, {0, 0, 0, 0}}, {'V', 0x10000, {0, 1, 0, 0}}, {'P', 0x1FF00, {0, 1, 0xFF, 0}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    BlockRecord record;
    record.fill(0xEE);  // what a previous record left behind must not leak into this one
    FillBlockRecord(record, c.command, c.offset, *image);
    ScrambleBlockRecord(record, pad);
    EXPECT_EQ(record[0], c.command);
    EXPECT_EQ(record[1], 0);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(record[2 + i], c.clear[i] ^ pad[17 + i]) << "offset byte " << i;
    }
    for (int i = 0; i < 256; ++i) {
      ASSERT_EQ(record[6 + i], file[c.offset + i] ^ pad[i % 64]) << "data byte " << i;
    }
    EXPECT_TRUE(std::equal(pad.begin(), pad.end(), record.begin() + 262));
  }
}

TEST(BlockRecord, EveryRecordUnmasksToItsCommandOffsetAndImageBytes) {
  const auto image = LoadedImage(PatternBytes(ImageCapacity, 3));
  std::srand(12345);
  BlockRecord record{};
  for (uint32_t offset = 0; offset < ImageCapacity; offset += ImageBlockSize) {
    const uint8_t command = offset % 512 == 0 ? ProgramCommand : VerifyCommand;
    FillBlockRecord(record, command, offset, *image);
    ScrambleBlockRecord(record);
    const UnmaskedBlock block = UnmaskBlockRecord(record);
    ASSERT_EQ(block.command, command);
    ASSERT_EQ(block.reserved, 0);
    ASSERT_EQ(block.offset, offset);
    ASSERT_TRUE(std::equal(block.data.begin(), block.data.end(), image->bytes.begin() + offset))
        << offset;
  }
}

}  // namespace
