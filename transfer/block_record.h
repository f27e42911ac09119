// SPDX-License-Identifier: Apache-2.0
// Building the record that carries one block of the image to the device.
#pragma once

#include <array>
#include <cstdint>
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

/// Seeds the generator that the pads are drawn from with the calendar clock. Called once per
/// process, before the first record: each record after it draws a fresh pad, whichever device and
/// whichever transfer of the process it goes to.
void SeedPadGenerator();

/// Masks a filled `record` in place with a fresh pad of 64 values from `std::rand` (seeded once
/// by `SeedPadGenerator`): writes the pad, XORs the offset bytes with pad[17..20] and each data
/// byte i with `ImageKey`[i % 32] and pad[i % 64]. Call it exactly once per filling: a second call
/// masks again with another pad, which the device cannot undo. Cannot fail.
void ScrambleBlockRecord(BlockRecord& record);

/// As `ScrambleBlockRecord`, with the given pad instead of drawn values.
void ScrambleBlockRecord(BlockRecord& record, std::span<const uint8_t, BlockRecordPadSize> pad);
