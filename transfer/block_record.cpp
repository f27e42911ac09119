// SPDX-License-Identifier: Apache-2.0
// Filling a block record from the image and scrambling it with its pad.
#include "transfer/block_record.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <functional>

namespace {

// The offset's two 16-bit halves, masked byte by byte.
constexpr int OffsetBytes = 4;

}  // namespace

void FillBlockRecord(BlockRecord& record, uint8_t command, uint32_t offset,
                     const ImageBuffer& image) {
  record[BlockRecordField::command] = command;
  record[BlockRecordField::reserved] = 0;
  // Written byte by byte, most significant first, which is what the byte-swapped 16-bit halves
  // put on the wire from a little-endian host.
  record[BlockRecordField::offsetHigh] = static_cast<uint8_t>(offset >> 24);
  record[BlockRecordField::offsetHigh + 1] = static_cast<uint8_t>(offset >> 16);
  record[BlockRecordField::offsetLow] = static_cast<uint8_t>(offset >> 8);
  record[BlockRecordField::offsetLow + 1] = static_cast<uint8_t>(offset);
  const auto data = record.begin() + BlockRecordField::data;
  if (offset % ImageBlockSize != 0 || offset > image.bytes.size() - BlockRecordDataSize) {
    std::fill_n(data, BlockRecordDataSize, uint8_t{0});
    return;
  }
  std::copy_n(image.bytes.begin() + offset, BlockRecordDataSize, data);
}

void ScrambleBlockRecord(BlockRecord& record, std::span<const uint8_t, BlockRecordPadSize> pad) {
  std::copy(pad.begin(), pad.end(), record.begin() + BlockRecordField::pad);
  for (int i = 0; i < OffsetBytes; ++i) {
    record[BlockRecordField::offsetHigh + i] ^= pad[OffsetPadIndex + i];
  }
  // The key pass cancels the key that loading put on the image, since blocks start at multiples
  // of the key's length; the pad pass is what the device takes off.
  for (int i = 0; i < BlockRecordDataSize; ++i) {
    record[BlockRecordField::data + i] ^= ImageKey[i % ImageKey.size()] ^ pad[i % pad.size()];
  }
}

void SeedPadGenerator() {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
}

PadSource& ProcessPadSource() {
  // Stateless: the state is std::rand's.
  class RandPads final : public PadSource {
   public:
    void Draw(std::span<uint8_t, BlockRecordPadSize> pad) override {
      for (uint8_t& value : pad) {
        value = static_cast<uint8_t>(std::rand());
      }
    }
  };
  static RandPads pads;
  return pads;
}

SeededPadSource::SeededPadSource() {
  std::array<std::seed_seq::result_type, 8> seed{};
  try {
    std::random_device device;
    std::generate(seed.begin(), seed.end(), std::ref(device));
  } catch (const std::exception&) {
    // No source of the system's: pads then differ between runs and threads all the same.
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    seed = {static_cast<uint32_t>(now), static_cast<uint32_t>(now >> 32),
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this))};
  }
  std::seed_seq sequence(seed.begin(), seed.end());
  generator_.seed(sequence);
}

void SeededPadSource::Draw(std::span<uint8_t, BlockRecordPadSize> pad) {
  // Each draw gives 32 bits: four pad bytes.
  static_assert(BlockRecordPadSize % 4 == 0);
  for (size_t i = 0; i < pad.size(); i += 4) {
    const uint32_t value = generator_();
    for (size_t byte = 0; byte < 4; ++byte) {
      pad[i + byte] = static_cast<uint8_t>(value >> (8 * byte));
    }
  }
}

void ScrambleBlockRecord(BlockRecord& record, PadSource& pads) {
  std::array<uint8_t, BlockRecordPadSize> pad;
  pads.Draw(pad);
  ScrambleBlockRecord(record, pad);
}
