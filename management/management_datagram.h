// SPDX-License-Identifier: Apache-2.0
// The management datagrams' constants and layouts, and the functions that build and read them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/dotted_quad.h"
#include "net/device_port.h"

/// Bytes 0..1 of every management request, most significant byte first (43 21 on the wire).
inline constexpr uint16_t ManagementMagic = 0x4321;

/// The only device type an identify reply may carry.
inline constexpr uint16_t ExpectedDeviceType = 1;

/// Command codes, bytes 2..3 of a request, most significant byte first. A request is told apart by
/// its code alone.
enum ManagementCommand : uint16_t {
  CmdDiscover = 0x3039,
  CmdIdentify = 0x303E,
  CmdWriteSetting = 0x303F,
  CmdStartUpdate = 0x3074,
};

/// Types of the type-length-value items of the setting record.
enum ManagementItem : uint8_t {
  ItemDeviceId = 3,
  ItemSettingText = 5,
};

/// Every request but the setting record, and every reply the program reads, is this long; a
/// longer reply is read as its first 20 bytes.
inline constexpr size_t ManagementDatagramSize = 20;
/// The setting record is always sent whole, whatever the length of its string.
inline constexpr size_t SettingRecordSize = 104;
/// The device id of an identify reply (bytes 12..17), copied unread into the setting record.
inline constexpr size_t DeviceIdSize = 6;
/// The longest setting string: 14 bytes of header and items, the string and its terminating zero
/// fill the 104-byte record exactly.
inline constexpr size_t MaxSettingLength = 89;

using ManagementDatagram = std::array<uint8_t, ManagementDatagramSize>;
using SettingRecord = std::array<uint8_t, SettingRecordSize>;
using DeviceId = std::array<uint8_t, DeviceIdSize>;

/// Fills `request` with zeros, then writes `ManagementMagic` at offset 0 and `command` at offset
/// 2, both most significant byte first.
void BuildRequest(std::span<uint8_t, ManagementDatagramSize> request, uint16_t command);

/// Writes the whole setting record: zeros everywhere, then magic, `CmdWriteSetting`, the item
/// `ItemDeviceId` (length 6, `deviceId`), the item `ItemSettingText` (length n, the n bytes of
/// `setting` unchanged) and the string's terminating zero at offset 14 + n. Returns true when
/// written; false, leaving the record all zero, when `setting` is empty or longer than
/// `MaxSettingLength`: nothing is ever written past the 104 bytes.
bool BuildSettingRecord(std::span<uint8_t, SettingRecordSize> record, const DeviceId& deviceId,
                        std::string_view setting);

/// Reply bytes 4..7: the device's IPv4 address, byte 4 the first number of the dotted form.
AddressBytes ReplyDeviceAddress(std::span<const uint8_t, ManagementDatagramSize> reply);

/// Reply bytes 12..17, in their order.
DeviceId ReplyDeviceId(std::span<const uint8_t, ManagementDatagramSize> reply);

/// Reply bytes 18..19, most significant byte first: the device type.
uint16_t ReplyDeviceType(std::span<const uint8_t, ManagementDatagramSize> reply);

/// Judges one datagram that arrived while discovery listens, given the bytes that arrived (at most
/// the first 20 are looked at). It counts as an answer only when it brought a whole 20-byte
/// reply echoing `CmdDiscover` (bytes 2..3 are 30 39); a shorter datagram is never counted.
bool IsDiscoveryAnswer(std::span<const uint8_t> arrived);

/// The same for an identify answer (bytes 2..3 are 30 3e): torvane-devices' strict identification.
/// The utility takes whatever arrives first instead.
bool IsIdentifyAnswer(std::span<const uint8_t> arrived);
