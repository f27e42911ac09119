// SPDX-License-Identifier: Apache-2.0
// The target address as text, and ParseDottedQuad, the one reader of such text.
#pragma once

#include <array>
#include <cstdint>

/// The target address as the run holds it: dotted-quad text of at most 31 characters and a
/// terminating zero.
using AddressText = std::array<char, 32>;

/// Reads `text` as an IPv4 address: exactly four decimal parts of one to three digits (leading
/// zeros are decimal, so 010 is ten), each below 256, separated by single dots, optionally
/// followed by spaces (code 32 only) and nothing else. Returns the address with the first part in
/// the lowest-addressed byte (network order as held in memory), or 0 when the text is not such an
/// address. 0.0.0.0 is refused like a malformed text, since 0 is the failure value.
uint32_t ParseDottedQuad(const char* text);
