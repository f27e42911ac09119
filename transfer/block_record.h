// SPDX-License-Identifier: Apache-2.0
// Building the record that carries one block of the image to the device.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <span>

#include "image/image_buffer.h"
#include "transfer/transfer_protocol.h"

/// One block record as it is built and sent (layout in transfer_protocol.h).
using BlockRecord = std::array<uint8_t, BlockRecordSize>;

/// Fills `record` in clear for the block at byte `offset` of `image`: `command`, a zero reserved
/// byte, the offset's bits 31..16 and 15..0 most significant byte first, and the 256 image bytes
/// from `offset`. The pad is left as it was. `offset` must be a block start with a whole block
/// of `image.bytes` behind it; any other offset leaves the data zero.
void FillBlockRecord(BlockRecord& record, uint8_t command, uint32_t offset,
                     const ImageBuffer& image);

/// Where the pads of block records come from: each call of `Draw` gives a fresh one.
class PadSource {
 public:
  virtual ~PadSource() = default;
  /// Fills `pad` with 64 fresh values. Cannot fail.
  virtual void Draw(std::span<uint8_t, BlockRecordPadSize> pad) = 0;
};

/// Seeds the generator of `ProcessPadSource` with the calendar clock. Called once per process,
/// before the first record: each record after it draws a fresh pad, whichever device and
/// whichever transfer of the process it goes to.
void SeedPadGenerator();

/// The utility's pads: the low 8 bits of 64 draws of `std::rand`, in order, seeded once by
/// `SeedPadGenerator`. For one thread: `std::rand`'s state is the process's (on Windows, each
/// thread's own, starting at 1).
PadSource& ProcessPadSource();

/// Pads from a generator of its own, seeded unpredictably from `std::random_device` when it is
/// made (from the clock and its own address should the system have no such source). Owned by one
/// thread: each thread that transfers makes its own.
class SeededPadSource final : public PadSource {
 public:
  SeededPadSource();
  void Draw(std::span<uint8_t, BlockRecordPadSize> pad) override;

 private:
  std::mt19937 generator_;
};

/// Masks a filled `record` in place with a fresh pad from `pads`: writes the pad, XORs the offset
/// bytes with pad[17..20] and each data byte i with `ImageKey`[i % 32] and pad[i % 64]. Call it
/// exactly once per filling: a second call masks again with another pad, which the device cannot
/// undo. Cannot fail.
void ScrambleBlockRecord(BlockRecord& record, PadSource& pads);

/// As `ScrambleBlockRecord`, with the given pad instead of drawn values.
void ScrambleBlockRecord(BlockRecord& record, std::span<const uint8_t, BlockRecordPadSize> pad);
