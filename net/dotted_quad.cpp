// ParseDottedQuad: dotted-quad text to an IPv4 address, decimal parts only.
#include "net/dotted_quad.h"

#include <cstring>

uint32_t ParseDottedQuad(const char* text) {
  std::array<uint8_t, 4> parts{};
  const char* cursor = text;
  for (int part = 0; part < 4; ++part) {
    int value = 0;
    int digits = 0;
    // A part ends after its third digit without looking further, so "1234" fails on the '.'
    // check rather than on the value.
    while (digits < 3 && *cursor >= '0' && *cursor <= '9') {
      value = value * 10 + (*cursor - '0');
      ++cursor;
      ++digits;
    }
    if (digits == 0 || value >= 256) {
      return 0;
    }
    parts[part] = static_cast<uint8_t>(value);
    if (part < 3) {
      if (*cursor != '.') {
        return 0;
      }
      ++cursor;
    }
  }
  while (*cursor == ' ') {
    ++cursor;
  }
  if (*cursor != '\0') {
    return 0;
  }
  uint32_t address = 0;
  std::memcpy(&address, parts.data(), sizeof address);
  return address;
}
