// SPDX-License-Identifier: Apache-2.0
// SHA-256 as FIPS 180-4 defines it: the message padded to whole 64-byte blocks, each block mixed
// into eight 32-bit words in 64 rounds.
#include "common/sha256.h"

#include <algorithm>

#include "common/text_format.h"

namespace {

constexpr std::array<uint32_t, 64> RoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr size_t BlockBytes = 64;

uint32_t RotateRight(uint32_t value, int bits) {
  return (value >> bits) | (value << (32 - bits));
}

// Mixes one 64-byte block into `state`.
void MixBlock(std::array<uint32_t, 8>& state, const uint8_t* block) {
  std::array<uint32_t, 64> schedule;
  for (size_t i = 0; i < 16; ++i) {
    schedule[i] = uint32_t{block[4 * i]} << 24 | uint32_t{block[4 * i + 1]} << 16 |
                  uint32_t{block[4 * i + 2]} << 8 | uint32_t{block[4 * i + 3]};
  }
  for (size_t i = 16; i < 64; ++i) {
    const uint32_t s0 = RotateRight(schedule[i - 15], 7) ^ RotateRight(schedule[i - 15], 18) ^
                        (schedule[i - 15] >> 3);
    const uint32_t s1 = RotateRight(schedule[i - 2], 17) ^ RotateRight(schedule[i - 2], 19) ^
                        (schedule[i - 2] >> 10);
    schedule[i] = schedule[i - 16] + s0 + schedule[i - 7] + s1;
  }
  std::array<uint32_t, 8> w = state;  // a, b, c, d, e, f, g, h
  for (size_t i = 0; i < 64; ++i) {
    const uint32_t s1 = RotateRight(w[4], 6) ^ RotateRight(w[4], 11) ^ RotateRight(w[4], 25);
    const uint32_t choice = (w[4] & w[5]) ^ (~w[4] & w[6]);
    const uint32_t t1 = w[7] + s1 + choice + RoundConstants[i] + schedule[i];
    const uint32_t s0 = RotateRight(w[0], 2) ^ RotateRight(w[0], 13) ^ RotateRight(w[0], 22);
    const uint32_t majority = (w[0] & w[1]) ^ (w[0] & w[2]) ^ (w[1] & w[2]);
    std::rotate(w.rbegin(), w.rbegin() + 1, w.rend());
    w[4] += t1;
    w[0] = t1 + s0 + majority;
  }
  for (size_t i = 0; i < 8; ++i) {
    state[i] += w[i];
  }
}

}  // namespace

Sha256Digest Sha256(std::span<const uint8_t> bytes) {
  std::array<uint32_t, 8> state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  const size_t whole = bytes.size() - bytes.size() % BlockBytes;
  for (size_t offset = 0; offset < whole; offset += BlockBytes) {
    MixBlock(state, bytes.data() + offset);
  }
  // The rest, the 0x80 mark and the length in bits fill one or two last blocks.
  std::array<uint8_t, 2 * BlockBytes> tail{};
  const size_t rest = bytes.size() - whole;
  std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(whole), bytes.end(), tail.begin());
  tail[rest] = 0x80;
  const size_t tailBytes = rest + 9 <= BlockBytes ? BlockBytes : 2 * BlockBytes;
  const uint64_t bits = uint64_t{bytes.size()} * 8;
  for (size_t i = 0; i < 8; ++i) {
    tail[tailBytes - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
  }
  for (size_t offset = 0; offset < tailBytes; offset += BlockBytes) {
    MixBlock(state, tail.data() + offset);
  }
  Sha256Digest digest;
  for (size_t i = 0; i < digest.size(); ++i) {
    digest[i] = static_cast<uint8_t>(state[i / 4] >> (24 - 8 * (i % 4)));
  }
  return digest;
}

std::string Sha256Hex(std::span<const uint8_t> bytes) {
  std::string text;
  for (const uint8_t byte : Sha256(bytes)) {
    text += FormatText("%02x", byte);
  }
  return text;
}
