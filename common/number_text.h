// SPDX-License-Identifier: Apache-2.0
// ReadNumberText: an option's value read whole as a number within bounds, for the command lines
// of torvane-devices and torvane-devsim.
#pragma once

#include <charconv>
#include <optional>
#include <string_view>
#include <type_traits>

/// Reads all of `text` as a `Number` from `lowest` to `highest`: integers in `base`, floating
/// values in the plain or scientific form. Nothing for empty text, any character that is not part
/// of the number (a '+' or a space included), a value out of range, or a NaN.
template <typename Number>
std::optional<Number> ReadNumberText(std::string_view text, Number lowest, Number highest,
                                     int base = 10) {
  Number value{};
  const char* const end = text.data() + text.size();
  std::from_chars_result read{};
  if constexpr (std::is_floating_point_v<Number>) {
    read = std::from_chars(text.data(), end, value);
  } else {
    read = std::from_chars(text.data(), end, value, base);
  }
  // Written so that a NaN, which no comparison holds for, is out of range.
  if (text.empty() || read.ec != std::errc() || read.ptr != end ||
      !(value >= lowest && value <= highest)) {
    return std::nullopt;
  }
  return value;
}
