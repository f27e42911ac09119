// SPDX-License-Identifier: Apache-2.0
// Sha256: the SHA-256 digest of a run of bytes, for the image's identity in torvane-devices'
// records and journal.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

/// The 32 bytes of a SHA-256 digest.
using Sha256Digest = std::array<uint8_t, 32>;

/// The SHA-256 digest of `bytes` (any length, none included). Cannot fail.
Sha256Digest Sha256(std::span<const uint8_t> bytes);

/// The digest as 64 lower-case hexadecimal digits, as sha256sum prints it.
std::string Sha256Hex(std::span<const uint8_t> bytes);
