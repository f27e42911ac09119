// SPDX-License-Identifier: Apache-2.0
// IPv4 addresses as text: ParseDottedQuad, the one reader of such text, and the plain dotted form
// that every program writes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

/// The target address as the run holds it: dotted-quad text of at most 31 characters and a
/// terminating zero.
using AddressText = std::array<char, 32>;

/// An IPv4 address as its four numbers, the first number of the dotted form first.
using AddressBytes = std::array<uint8_t, 4>;

/// Reads `text` as an IPv4 address: exactly four decimal parts of one to three digits (leading
/// zeros are decimal, so 010 is ten), each below 256, separated by single dots, optionally
/// followed by spaces (code 32 only) and nothing else. Returns the address with the first part in
/// the lowest-addressed byte (network order as held in memory), or 0 when the text is not such an
/// address. 0.0.0.0 is refused like a malformed text, since 0 is the failure value.
uint32_t ParseDottedQuad(const char* text);

/// `ParseDottedQuad` of `text` as its four numbers; nothing when it refuses the text.
std::optional<AddressBytes> ReadAddressBytes(const std::string& text);

/// The plain dotted form of `address`, "%u.%u.%u.%u": at most 15 characters, no leading zeros.
std::string FormatAddress(const AddressBytes& address);

/// Writes `FormatAddress(address)` with its terminating zero into `text`.
void FormatDeviceAddress(const AddressBytes& address, AddressText& text);
