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

struct Accepted {
  const char* text;
  std::array<uint8_t, 4> bytes;
};

TEST(ParseDottedQuad, AcceptsDecimalQuadsWithTrailingSpaces) {
  const Accepted cases[] = {
      {"192.168.1.1", {192, 168, 1, 1}},
      {"192.168.001.010", {192, 168, 1, 10}},  // leading zeros are decimal, never octal
      {"255.255.255.255", {255, 255, 255, 255}},
      {"10.0.0.1 ", {10, 0, 0, 1}},
      {"10.0.0.1         ", {10, 0, 0, 1}},
      {"0.0.0.1", {0, 0, 0, 1}},
      {"127.0.0.1", {127, 0, 0, 1}},
  };
  for (const Accepted& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(BytesOf(ParseDottedQuad(c.text)), c.bytes);
  }
}

TEST(ParseDottedQuad, RefusesEverythingElse) {
  const char* const cases[] = {
      "",          "0.0.0.0",    "000.000.000.000", "0.0.0.0  ",  "256.1.1.1", "1.2.3",
      "1.2.3.4.5", "1..2.3",     ".1.2.3",          "1.2.3.4.",   " 1.2.3.4",  "1.2.3.4\t",
      "1.2.3.4x",  "1234.1.1.1", "0001.1.1.1",      "1.2.3.0004", "+1.2.3.4",  "-1.2.3.4",
      "1.2.3.256", "1.2.3.4 x",  "a.b.c.d",         "1,2,3,4",    "1.2.3.4\n", "999.1.1.1",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ParseDottedQuad(text), 0u);
  }
}

}  // namespace
