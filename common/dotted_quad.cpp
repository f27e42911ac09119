// SPDX-License-Identifier: Apache-2.0
// ParseDottedQuad: dotted-quad text to an IPv4 address, decimal parts only; and the address's
// plain dotted form.
#include "common/dotted_quad.h"

#include <algorithm>
#include <cstring>

#include "common/text_format.h"

uint32_t ParseDottedQuad(const char* text) {
  AddressBytes parts{};
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

std::optional<AddressBytes> ReadAddressBytes(const std::string& text) {
  const uint32_t address = ParseDottedQuad(text.c_str());
  if (address == 0) {
    return std::nullopt;
  }
  AddressBytes bytes{};
  std::memcpy(bytes.data(), &address, sizeof address);
  return bytes;
}

std::string FormatAddress(const AddressBytes& address) {
  return FormatText("%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
}

void FormatDeviceAddress(const AddressBytes& address, AddressText& text) {
  const std::string plain = FormatAddress(address);
  *std::copy(plain.begin(), plain.end(), text.begin()) = '\0';
}
