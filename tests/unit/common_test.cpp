// SPDX-License-Identifier: Apache-2.0
// The ground floor's helpers against values from independent sources: FIPS 180-4's examples and
// Python's hashlib for SHA-256, Python's datetime for the times.
#include <gtest/gtest.h>

#include <string>

#include "common/sha256.h"
#include "common/text_format.h"
#include "common/utc_time.h"

namespace {

TEST(Sha256, GivesTheDigestsOfOtherImplementations) {
  const struct {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // The rest and its length just fit one block; one byte more needs two; a whole block.
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.message.data());
    EXPECT_EQ(Sha256Hex({bytes, c.message.size()}), c.digest);
  }
}

TEST(FormatUtcTime, WritesRfc3339InUtcToTheMillisecond) {
  const struct {
    long long milliseconds;  // since 1970-01-01T00:00:00Z
    const char* text;
  } cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {1796674279123, "2026-12-07T20:11:19.123Z"},
      {1709251199999, "2024-02-29T23:59:59.999Z"},
  };
  for (const auto& c : cases) {
    const std::chrono::system_clock::time_point time(std::chrono::milliseconds(c.milliseconds));
    EXPECT_EQ(FormatUtcTime(time), c.text);
  }
}

TEST(QuotedText, ShowsNoControlByteAndCutsLongArguments) {
  const std::string sixtyThree(63, 'x');
  const struct {
    std::string text;
    std::string shown;
  } cases[] = {
      {"10.0.0.7", "'10.0.0.7'"},
      {"", "''"},
      // An escape sequence, line ends, a tab, DEL; C:\ as it is.
      {"\x1b[2Ja\n\r\t\x7f C:\\fw", "'\\x1b[2Ja\\n\\r\\t\\x7f C:\\fw'"},
      // UTF-8 as it is (ü, €, an emoji); a C1 control (U+009B), a lone byte, an overlong '/'
      // and a surrogate are bytes.
      {"\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80", "'\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80'"},
      {"\xc2\x9b\xff\xc0\xaf\xed\xa0\x80", "'\\xc2\\x9b\\xff\\xc0\\xaf\\xed\\xa0\\x80'"},
      {std::string(64, 'x'), "'" + std::string(64, 'x') + "'"},
      {std::string(100000, 'x'), "'" + std::string(64, 'x') + "'... (100000 bytes)"},
      // Cut before a character that would end past the limit, not inside it.
      {sixtyThree + "\xc3\xbc", "'" + sixtyThree + "'... (65 bytes)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QuotedText(c.text), c.shown);
  }
}

}  // namespace
