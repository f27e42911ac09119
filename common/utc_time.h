// SPDX-License-Identifier: Apache-2.0
// The times that torvane-devices writes for scripts: RFC 3339 text in UTC, to the millisecond.
#pragma once

#include <chrono>
#include <string>

/// `time` as "2026-12-07T20:11:19.123Z": UTC, milliseconds (cut, not rounded), the "Z" suffix;
/// from the civil calendar alone, without the C library's time zones.
std::string FormatUtcTime(std::chrono::system_clock::time_point time);
