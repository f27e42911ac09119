// SPDX-License-Identifier: Apache-2.0
// ParseDottedQuad: dotted-quad text to an IPv4 address, decimal parts only.
#include "net/dotted_quad.h"

#include <cstring>

uint32_t ParseDottedQuad(const char* text) {
  std::array<uint8_t, 4> parts{};
  const char* cursor = text;
  for (size_t part = 0; part < parts.size(); ++part) {
    int value = 0;
    int digits = 0;
    // A part ends after its third digit without looking further, so "1234" fails on the '.'
    // check rather than on the value.
    for (; digits < 3 && *cursor >= '0' && *cursor <= '9'; ++cursor, ++digits) {
      value = value * 10 + (*cursor - '0');
    }
    if (digits == 0 || value >= 256 || (part < 3 && *cursor != '.')) {
      return 0;
    }
    parts[part] = static_cast<uint8_t>(value);
    cursor += part < 3 ? 1 : std::strspn(cursor, " ");
  }
  uint32_t address = 0;
  std::memcpy(&address, parts.data(), sizeof address);
  return *cursor == '\0' ? address : 0;
}
