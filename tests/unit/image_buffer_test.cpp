#include "image/image_buffer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "app/console.h"
#include "temp_dir.h"

namespace {

// What the encoded form of `input` must be: the used bytes XOR the key, then key bytes up to the
// next whole block.
std::vector<uint8_t> ExpectedEncoding(const std::vector<uint8_t>& input) {
  const size_t used = std::min(input.size(), size_t{ImageCapacity});
  const size_t rounded = (used + 255) / 256 * 256;
  std::vector<uint8_t> encoded(rounded);
  for (size_t i = 0; i < rounded; ++i) {
    encoded[i] = static_cast<uint8_t>((i < used ? input[i] : 0) ^ ImageKey[i % 32]);
  }
  return encoded;
}

class ImageFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<ImageBuffer> image = std::make_unique<ImageBuffer>();
  TempDir dir;
  ConsoleCapture console;
};

TEST_F(ImageFileTest, EncodesEverySizeToWholeBlocksOfKeyedBytes) {
  struct Case {
    size_t length;
    int reportedSize;
  };
  const Case cases[] = {{1, 256},         {255, 256},       {256, 256},       {257, 512},
                        {131071, 131072}, {131072, 131072}, {131073, 131072}, {200000, 131072}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    *image = ImageBuffer{};
    console.Clear();
    const auto input = PatternBytes(c.length, static_cast<uint32_t>(c.length));
    WriteBytes(dir.File("in"), input);
    EXPECT_EQ(EncodeImageFile(*image, dir.File("in"), dir.File("out")), 1);
    EXPECT_EQ(ReadBytes(dir.File("out")), ExpectedEncoding(input));
    EXPECT_EQ(console.Text(), "File " + dir.File("out") +
                                  " generated: " + std::to_string(c.reportedSize) + " bytes\n");
  }
}

TEST_F(ImageFileTest, EmptyInputEncodesToAnEmptyFile) {
  WriteBytes(dir.File("in"), {});
  EXPECT_EQ(EncodeImageFile(*image, dir.File("in"), dir.File("out")), 1);
  EXPECT_TRUE(ReadBytes(dir.File("out")).empty());
  EXPECT_EQ(console.Text(), "File " + dir.File("out") + " generated: 0 bytes\n");
}

TEST_F(ImageFileTest, EncodingTwiceGivesBackTheInputAndZeroFill) {
  const auto input = PatternBytes(300);
  WriteBytes(dir.File("in"), input);
  ASSERT_EQ(EncodeImageFile(*image, dir.File("in"), dir.File("once")), 1);
  *image = ImageBuffer{};
  ASSERT_EQ(EncodeImageFile(*image, dir.File("once"), dir.File("twice")), 1);
  auto expected = input;
  expected.resize(512, 0);
  EXPECT_EQ(ReadBytes(dir.File("twice")), expected);
}

TEST_F(ImageFileTest, SameNameForInputAndOutputLeavesTheFileEncoded) {
  const auto input = PatternBytes(256);
  WriteBytes(dir.File("fw"), input);
  EXPECT_EQ(EncodeImageFile(*image, dir.File("fw"), dir.File("fw")), 1);
  EXPECT_EQ(ReadBytes(dir.File("fw")), ExpectedEncoding(input));
}

TEST_F(ImageFileTest, EncodeFailuresPrintOneMessageAndWriteNothing) {
  WriteBytes(dir.File("in"), PatternBytes(10));
  struct Case {
    const char* name;
    std::string input;
    std::string output;
    const char* message;
  };
  const Case cases[] = {
      {"no output name, even without input", dir.File("missing"), "", "Missing output file name\n"},
      {"no input name", "", dir.File("out1"), "File not found\n"},
      {"missing input", dir.File("missing"), dir.File("out2"), "File not found\n"},
      {"output cannot be created", dir.File("in"), dir.File("no/such/dir"),
       "Unable to create file\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    console.Clear();
    EXPECT_EQ(EncodeImageFile(*image, c.input, c.output), 0);
    EXPECT_EQ(console.Text(), c.message);
    if (!c.output.empty()) {
      EXPECT_FALSE(std::filesystem::exists(c.output));
    }
  }
}

TEST_F(ImageFileTest, FailedWriteIsNotReportedAsSuccess) {
  if (!std::filesystem::exists("/dev/full")) {
    GTEST_SKIP() << "needs /dev/full";
  }
  WriteBytes(dir.File("in"), PatternBytes(4096));
  EXPECT_EQ(EncodeImageFile(*image, dir.File("in"), "/dev/full"), 0);
  EXPECT_EQ(console.Text(), "Unable to write file\n");
}

TEST_F(ImageFileTest, LoadKeysTheFileAndTheZeroFillPastItsEnd) {
  const auto input = PatternBytes(1000);
  WriteBytes(dir.File("fw"), input);
  ASSERT_EQ(LoadImageFile(*image, dir.File("fw")), 1);
  EXPECT_EQ(image->size, 1024);
  for (size_t i = 0; i < ImageCapacity; ++i) {
    const uint8_t plain = i < input.size() ? input[i] : 0;
    ASSERT_EQ(image->bytes[i], plain ^ ImageKey[i % 32]) << "at " << i;
  }
  EXPECT_EQ(console.Text(), "");
}

TEST_F(ImageFileTest, LoadCutsLongFilesAtCapacity) {
  WriteBytes(dir.File("fw"), PatternBytes(ImageCapacity + 77));
  ASSERT_EQ(LoadImageFile(*image, dir.File("fw")), 1);
  EXPECT_EQ(image->size, ImageCapacity);
}

TEST_F(ImageFileTest, LoadFailuresPrintOneMessage) {
  WriteBytes(dir.File("empty"), {});
  struct Case {
    std::string input;
    const char* message;
  };
  const Case cases[] = {
      {"", "Missing input file name\n"},
      {dir.File("missing"), "File not found\n"},
      {dir.File("empty"), "Image file is empty\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    console.Clear();
    EXPECT_EQ(LoadImageFile(*image, c.input), 0);
    EXPECT_EQ(console.Text(), c.message);
  }
}

TEST_F(ImageFileTest, DirectoryThatOpensAsAFileIsAReadError) {
  const std::string directory = dir.File("");
  if (std::FILE* file = std::fopen(directory.c_str(), "rb")) {
    std::fclose(file);
  } else {
    GTEST_SKIP() << "this system cannot open a directory as a file (File not found there)";
  }
  EXPECT_EQ(LoadImageFile(*image, directory), 0);
  EXPECT_EQ(console.Text(), "File read error\n");
  console.Clear();
  EXPECT_EQ(EncodeImageFile(*image, directory, dir.File("out")), 0);
  EXPECT_EQ(console.Text(), "File read error\n");
  EXPECT_FALSE(std::filesystem::exists(dir.File("out")));
}

}  // namespace
