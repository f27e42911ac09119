// SPDX-License-Identifier: Apache-2.0
// SHA-256 of a byte sequence, as FIPS 180-4 defines it: what a run records of the image it
// installs, so that a script or a journal can tell one image from another.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

/// The 32 bytes of a SHA-256 digest.
using Sha256Digest = std::array<uint8_t, 32>;

/// The SHA-256 digest of `bytes` (any length, none included).
Sha256Digest Sha256(std::span<const uint8_t> bytes);

/// The digest of `bytes` as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::span<const uint8_t> bytes);
