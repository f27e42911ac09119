#include "transfer/block_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>

namespace {

// An image loaded from a file of known bytes: `file` XORed with the key, as loading leaves it.
struct LoadedImage {
  std::vector<uint8_t> file;
  ImageBuffer image;
  explicit LoadedImage(int size) : file(static_cast<size_t>(size)) {
    uint32_t state = 7;
    for (uint8_t& byte : file) {
      state = state * 1103515245u + 12345u;
      byte = static_cast<uint8_t>(state >> 16);
    }
    std::copy(file.begin(), file.end(), image.bytes.begin());
    image.size = size;
    ApplyImageKey(image);
  }
};

std::array<uint8_t, BlockRecordPadSize> CountingPad() {
  std::array<uint8_t, BlockRecordPadSize> pad;
  std::iota(pad.begin(), pad.end(), uint8_t{0xA0});
  return pad;
}

TEST(BlockRecordTest, OffsetsGoOutMostSignificantByteFirstAndMaskedWithPad17To20) {
  struct Case {
    uint32_t offset;
    std::array<uint8_t, 4> clear;
  };
  const Case cases[] = {
      {0, {0x00, 0x00, 0x00, 0x00}},
      {0x10000, {0x00, 0x01, 0x00, 0x00}},
      {131072 - 256, {0x00, 0x01, 0xFF, 0x00}},
  };
  const LoadedImage loaded(ImageCapacity);
  const auto pad = CountingPad();
  for (const Case& c : cases) {
    BlockRecord record{};
    FillBlockRecord(record, ProgramCommand, c.offset, loaded.image);
    EXPECT_TRUE(std::equal(c.clear.begin(), c.clear.end(), record.begin() + 2)) << c.offset;
    ScrambleBlockRecord(record, pad);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(record[2 + i], c.clear[i] ^ pad[17 + i]) << c.offset << " byte " << 2 + i;
      EXPECT_EQ(record[279 + i], pad[17 + i]);
    }
  }
}

TEST(BlockRecordTest, SentDataIsTheFileXoredWithThePad) {
  const LoadedImage loaded(1024);
  const auto pad = CountingPad();
  BlockRecord record{};
  FillBlockRecord(record, VerifyCommand, 512, loaded.image);
  ScrambleBlockRecord(record, pad);
  EXPECT_EQ(record[0], 'V');
  EXPECT_EQ(record[1], 0);
  EXPECT_TRUE(std::equal(pad.begin(), pad.end(), record.begin() + 262));
  for (int i = 0; i < 256; ++i) {
    ASSERT_EQ(record[6 + i], loaded.file[512 + i] ^ pad[i % 64]) << i;
  }
}

TEST(BlockRecordTest, EveryRecordUnmasksToItsCommandOffsetAndImageBytes) {
  const LoadedImage loaded(ImageCapacity);
  std::srand(12345);
  BlockRecord record{};
  record.fill(0xEE);  // what a previous record left behind must not leak into this one
  for (uint32_t offset = 0; offset < ImageCapacity; offset += ImageBlockSize) {
    const uint8_t command = offset % 512 == 0 ? ProgramCommand : VerifyCommand;
    FillBlockRecord(record, command, offset, loaded.image);
    ScrambleBlockRecord(record);
    const UnmaskedBlock block = UnmaskBlockRecord(record);
    ASSERT_EQ(block.command, command);
    ASSERT_EQ(block.reserved, 0);
    ASSERT_EQ(block.offset, offset);
    ASSERT_TRUE(
        std::equal(block.data.begin(), block.data.end(), loaded.image.bytes.begin() + offset))
        << offset;
  }
}

}  // namespace
