#include "image/image_buffer.h"

#include <gtest/gtest.h>

#include <memory>

#include "app/console.h"
#include "test_data.h"

namespace {

// The first `size` bytes of the buffer a file of `file` bytes must leave behind: the file's bytes,
// zeros past its end, each XOR the key.
std::vector<uint8_t> Keyed(const std::vector<uint8_t>& file, size_t size) {
  std::vector<uint8_t> keyed(size);
  for (size_t i = 0; i < size; ++i) {
    keyed[i] = static_cast<uint8_t>((i < file.size() ? file[i] : 0) ^ ImageKey[i % 32]);
  }
  return keyed;
}

class ImageFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<ImageBuffer> image = std::make_unique<ImageBuffer>();
  TempDir dir;
  ConsoleCapture console;
};

TEST_F(ImageFileTest, EncodesWholeBlocksOfKeyedBytesUpToCapacity) {
  for (size_t length : {0, 1, 256, 257, 131072, 200000}) {
    SCOPED_TRACE(length);
    *image = ImageBuffer{};
    console.Clear();
    const auto input = PatternBytes(length, static_cast<uint32_t>(length));
    WriteBytes(dir.File("in"), input);
    const size_t size = std::min<size_t>((length + 255) / 256 * 256, ImageCapacity);
    EXPECT_EQ(EncodeImageFile(*image, dir.File("in"), dir.File("out")), 1);
    EXPECT_EQ(ReadBytes(dir.File("out")), Keyed(input, size));
    EXPECT_EQ(console.Text(),
              "File " + dir.File("out") + " generated: " + std::to_string(size) + " bytes\n");
  }
}

TEST_F(ImageFileTest, SameNameForInputAndOutputLeavesTheFileEncoded) {
  const auto input = PatternBytes(256);
  WriteBytes(dir.File("fw"), input);
  EXPECT_EQ(EncodeImageFile(*image, dir.File("fw"), dir.File("fw")), 1);
  EXPECT_EQ(ReadBytes(dir.File("fw")), Keyed(input, 256));
}

TEST_F(ImageFileTest, AFailedEncodingLeavesNoOutputFile) {
  const struct {
    std::string input;
    std::string output;
    const char* message;
  } cases[] = {
      {"", dir.File("out1"), "File not found\n"},
      {dir.File("missing"), dir.File("out2"), "File not found\n"},
      {dir.File("missing"), "", "Missing output file name\n"},
      {dir.File("in"), dir.File("no/such/dir"), "Unable to create file\n"},
  };
  WriteBytes(dir.File("in"), PatternBytes(10));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    console.Clear();
    EXPECT_EQ(EncodeImageFile(*image, c.input, c.output), 0);
    EXPECT_EQ(console.Text(), c.message);
    EXPECT_TRUE(c.output.empty() || !std::filesystem::exists(c.output));
  }
}

TEST_F(ImageFileTest, LoadKeysTheFileAndTheZeroFillPastItsEnd) {
  for (size_t length : {1000, ImageCapacity + 77}) {
    SCOPED_TRACE(length);
    const auto input = PatternBytes(length);
    WriteBytes(dir.File("fw"), input);
    ASSERT_EQ(LoadImageFile(*image, dir.File("fw")), 1);
    EXPECT_EQ(image->size, std::min<int>((length + 255) / 256 * 256, ImageCapacity));
    EXPECT_EQ(std::vector<uint8_t>(image->bytes.begin(), image->bytes.end()),
              Keyed(input, ImageCapacity));
    EXPECT_EQ(console.Text(), "");
  }
}

}  // namespace
