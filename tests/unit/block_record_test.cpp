// SPDX-License-Identifier: Apache-2.0
// The block record as it goes on the wire, masked with a known pad: bytes worked out by hand from
// the record's layout and the image key's value.
#include "transfer/block_record.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

TEST(BlockRecord, HasTheBytesWorkedOutByHand) {
  // The bytes looked at: command, reserved, the four offset bytes, data bytes 0, 1, 31, 32, 81
  // (masked by pad[17] as well) and 255, and the first and last pad byte.
  const int positions[] = {0, 1, 2, 3, 4, 5, 6, 7, 37, 38, 87, 261, 262, 325};
  const struct {
    uint8_t command;
    uint32_t offset;
    uint8_t imageByte;  // every byte of the block, as the image buffer holds it
    uint8_t padStart;   // pad[i] = padStart + i
    const char* expected;
  } cases[] = {
      {'P', 0, 0x00, 0x00, "50 00 11 12 13 14 6B D3 88 4B 8E A8 00 3F "},
      {'V', 0x10000, 0xFF, 0x80, "56 00 91 93 93 94 14 AC F7 34 F1 D7 80 BF "},
      {'P', 0x1FF00, 0x5A, 0xC0, "50 00 D1 D3 2C D4 F1 49 12 D1 14 32 C0 FF "},
  };
  for (const auto& c : cases) {
    auto image = std::make_unique<ImageBuffer>();
    image->size = ImageCapacity;
    std::fill_n(&image->bytes[c.offset], 256, c.imageByte);
    std::array<uint8_t, 64> pad;
    for (int i = 0; i < 64; ++i) {
      pad[i] = static_cast<uint8_t>(c.padStart + i);
    }
    BlockRecord record;
    record.fill(0xEE);  // what a previous record left must not leak into this one
    FillBlockRecord(record, c.command, c.offset, *image);
    ScrambleBlockRecord(record, pad);
    std::string seen;
    for (const int position : positions) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02X ", record[position]);
      seen += hex;
    }
    EXPECT_EQ(seen, c.expected) << "offset " << c.offset;
  }
}

}  // namespace
