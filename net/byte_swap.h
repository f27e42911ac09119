#pragma once

#include <cstdint>

/// Exchanges the two bytes of `value`: 0x0001 becomes 0x0100. Every 16-bit protocol field is
/// stored swapped on the little-endian hosts the protocol was made for, which puts its most
/// significant byte first on the wire.
constexpr uint16_t SwapBytes16(uint16_t value) {
  return static_cast<uint16_t>((value >> 8) | (value << 8));
}
