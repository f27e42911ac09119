#include "net/dotted_quad.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace {

std::array<uint8_t, 4> BytesOf(uint32_t address) {
  std::array<uint8_t, 4> bytes{};
  std::memcpy(bytes.data(), &address, sizeof address);
  return bytes;
}

TEST(ParseDottedQuad, AcceptsDecimalQuadsWithTrailingSpaces) {
  const struct {
    const char* text;
    std::array<uint8_t, 4> bytes;
  } cases[] = {
      {"192.168.1.2", {192, 168, 1, 2}},
      {"192.168.001.010", {192, 168, 1, 10}},  // leading zeros are decimal, never octal
      {"255.255.255.255", {255, 255, 255, 255}},
      {"0.0.0.1   ", {0, 0, 0, 1}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BytesOf(ParseDottedQuad(c.text)), c.bytes) << c.text;
  }
}

TEST(ParseDottedQuad, RefusesEverythingElse) {
  for (const char* text :
       {"", "0.0.0.0", "000.000.000.000", "256.1.1.1", "1.2.3.256", "1.2.3", "1.2.3.4.5", "1..2.3",
        ".1.2.3", "1.2.3.4.", " 1.2.3.4", "1.2.3.4\t", "1.2.3.4x", "1.2.3.4 x", "1234.1.1.1",
        "1.2.3.0004", "+1.2.3.4", "1,2,3,4"}) {
    EXPECT_EQ(ParseDottedQuad(text), 0u) << text;
  }
}

}  // namespace
