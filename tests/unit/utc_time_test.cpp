// SPDX-License-Identifier: Apache-2.0
// Moments as RFC 3339 text, against Python's datetime for the same milliseconds since 1970.
#include "common/utc_time.h"

#include <gtest/gtest.h>

namespace {

TEST(UtcTime, IsWrittenInRfc3339Form) {
  const struct {
    long long milliseconds;
    const char* text;
  } cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {1796674279123, "2026-12-07T20:11:19.123Z"},
      {951868799999, "2000-02-29T23:59:59.999Z"},
      {-1, "1969-12-31T23:59:59.999Z"},
  };
  for (const auto& c : cases) {
    const std::chrono::system_clock::time_point moment{std::chrono::milliseconds(c.milliseconds)};
    EXPECT_EQ(FormatUtcTime(moment), c.text);
  }
}

}  // namespace
