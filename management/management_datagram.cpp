// SPDX-License-Identifier: Apache-2.0
// The management datagrams' bytes: building requests and the setting record, reading replies.
#include "management/management_datagram.h"

#include <algorithm>

namespace {

// Byte offsets of the fields.
constexpr size_t MagicOffset = 0;
constexpr size_t CommandOffset = 2;
constexpr size_t DeviceAddressOffset = 4;
constexpr size_t DeviceIdOffset = 12;
constexpr size_t DeviceTypeOffset = 18;

// Offsets in the setting record: the device-id item, then the setting-text item.
constexpr size_t IdItemOffset = 4;
constexpr size_t TextItemOffset = IdItemOffset + 2 + DeviceIdSize;
constexpr size_t TextOffset = TextItemOffset + 2;
static_assert(TextOffset + MaxSettingLength + 1 == SettingRecordSize);

void PutBigEndian16(std::span<uint8_t> bytes, size_t offset, uint16_t value) {
  bytes[offset] = static_cast<uint8_t>(value >> 8);
  bytes[offset + 1] = static_cast<uint8_t>(value & 0xFF);
}

uint16_t GetBigEndian16(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

// Reply bytes 2..3: the code the device echoes.
uint16_t ReplyCommandCode(std::span<const uint8_t, ManagementDatagramSize> reply) {
  return GetBigEndian16(reply, CommandOffset);
}

// A whole 20-byte reply that echoes `command`.
bool IsAnswerTo(std::span<const uint8_t> arrived, uint16_t command) {
  return arrived.size() >= ManagementDatagramSize &&
         ReplyCommandCode(arrived.first<ManagementDatagramSize>()) == command;
}

}  // namespace

void BuildRequest(std::span<uint8_t, ManagementDatagramSize> request, uint16_t command) {
  std::fill(request.begin(), request.end(), uint8_t{0});
  PutBigEndian16(request, MagicOffset, ManagementMagic);
  PutBigEndian16(request, CommandOffset, command);
}

bool BuildSettingRecord(std::span<uint8_t, SettingRecordSize> record, const DeviceId& deviceId,
                        std::string_view setting) {
  std::fill(record.begin(), record.end(), uint8_t{0});
  if (setting.empty() || setting.size() > MaxSettingLength) {
    return false;
  }
  PutBigEndian16(record, MagicOffset, ManagementMagic);
  PutBigEndian16(record, CommandOffset, CmdWriteSetting);
  record[IdItemOffset] = ItemDeviceId;
  record[IdItemOffset + 1] = DeviceIdSize;
  std::copy(deviceId.begin(), deviceId.end(), record.begin() + IdItemOffset + 2);
  record[TextItemOffset] = ItemSettingText;
  record[TextItemOffset + 1] = static_cast<uint8_t>(setting.size());
  // The bytes go out exactly as given; the terminating zero is already in place.
  std::transform(setting.begin(), setting.end(), record.begin() + TextOffset,
                 [](char c) { return static_cast<uint8_t>(c); });
  return true;
}

AddressBytes ReplyDeviceAddress(std::span<const uint8_t, ManagementDatagramSize> reply) {
  AddressBytes address{};
  std::copy_n(reply.begin() + DeviceAddressOffset, address.size(), address.begin());
  return address;
}

DeviceId ReplyDeviceId(std::span<const uint8_t, ManagementDatagramSize> reply) {
  DeviceId id{};
  std::copy_n(reply.begin() + DeviceIdOffset, id.size(), id.begin());
  return id;
}

uint16_t ReplyDeviceType(std::span<const uint8_t, ManagementDatagramSize> reply) {
  return GetBigEndian16(reply, DeviceTypeOffset);
}

bool IsDiscoveryAnswer(std::span<const uint8_t> arrived) {
  return IsAnswerTo(arrived, CmdDiscover);
}

bool IsIdentifyAnswer(std::span<const uint8_t> arrived) {
  return IsAnswerTo(arrived, CmdIdentify);
}
