// SPDX-License-Identifier: Apache-2.0
// FormatUtcTime: a moment as RFC 3339 text in UTC, to the millisecond, as torvane-devices'
// records and journal give their times.
#pragma once

#include <chrono>
#include <string>

/// `moment` as "2026-12-07T20:11:19.123Z": UTC, the milliseconds truncated towards the past, for
/// the years 0000 to 9999. Cannot fail.
std::string FormatUtcTime(std::chrono::system_clock::time_point moment);
