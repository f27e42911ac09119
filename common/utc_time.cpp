// SPDX-License-Identifier: Apache-2.0
// FormatUtcTime with the standard calendar, so no platform's gmtime variant is needed.
#include "common/utc_time.h"

#include "common/text_format.h"

std::string FormatUtcTime(std::chrono::system_clock::time_point moment) {
  using namespace std::chrono;
  // The system clock counts UTC seconds without leap seconds, which is what RFC 3339 writes;
  // floor, not a cast, so that a moment before 1970 does not round towards it.
  const auto milliseconds = floor<std::chrono::milliseconds>(moment);
  const sys_days day = floor<days>(milliseconds);
  const year_month_day date(day);
  const hh_mm_ss time(milliseconds - day);
  return FormatText(
      "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
      static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
      static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
}
