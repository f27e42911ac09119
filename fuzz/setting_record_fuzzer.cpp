// The setting record from any string: it is built only for 1 to 89 bytes, never written past its
// 104 bytes, and it carries the string and the device id where a device will look for them.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "management/management_datagram.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Guard bytes on both sides catch a write outside the record that ASan would not see inside
  // one array.
  std::array<uint8_t, SettingRecordSize + 32> storage;
  storage.fill(0xA5);
  const std::span<uint8_t, SettingRecordSize> record(storage.data() + 16, SettingRecordSize);
  const DeviceId id = {1, 2, 3, 4, 5, 6};
  const std::string_view setting(reinterpret_cast<const char*>(data), size);

  const bool built = BuildSettingRecord(record, id, setting);
  for (size_t i = 0; i < 16; ++i) {
    if (storage[i] != 0xA5 || storage[16 + SettingRecordSize + i] != 0xA5) {
      std::abort();
    }
  }
  if (built != (size >= 1 && size <= MaxSettingLength)) {
    std::abort();
  }
  if (!built) {
    return 0;
  }
  if (record[0] != 0x43 || record[1] != 0x21 || record[2] != 0x30 || record[3] != 0x3F ||
      record[4] != 3 || record[5] != 6 || !std::equal(id.begin(), id.end(), record.begin() + 6) ||
      record[12] != 5 || record[13] != size || std::memcmp(&record[14], data, size) != 0) {
    std::abort();
  }
  if (std::any_of(record.begin() + 14 + size, record.end(), [](uint8_t b) { return b != 0; })) {
    std::abort();
  }
  return 0;
}
