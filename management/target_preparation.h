// SPDX-License-Identifier: Apache-2.0
// Identifying a device, and readying it for the transfer: identification, type check, setting
// string, start; with the utility's printing form.
#pragma once

#include <cstdint>
#include <string_view>

#include "management/management_datagram.h"
#include "management/management_socket.h"

/// How an identify request went.
enum class IdentifyResult { Answered, SocketError, NoAnswer };

/// What the device said of itself. `deviceType` and `deviceId` are read from the reply when it
/// `Answered`, bytes that did not arrive counting as zero, and are zero otherwise.
struct Identification {
  IdentifyResult result = IdentifyResult::NoAnswer;
  uint16_t deviceType = 0;
  DeviceId deviceId{};
};

/// Asks the device at `target` (dotted-quad text) who it is, through `socket`: opens it, sends
/// `CmdIdentify` once, waits one second once and takes the first datagram that arrives, from
/// whoever and with whatever code, then closes the socket. Sends nothing else and prints nothing.
Identification IdentifyDevice(ManagementSocket& socket, const char* target);

/// How the preparation of a device ended.
enum class PreparationResult { Started, SettingTooLong, SocketError, NotFound, WrongType };

/// The result, and the identification as far as it got.
struct Preparation {
  PreparationResult result = PreparationResult::NotFound;
  Identification identity;
};

/// Readies the device at `target` (dotted-quad text) for the transfer, through `socket`: refuses a
/// `settingString` of more than 89 characters before anything is opened or sent; identifies the
/// device as `IdentifyDevice` does and accepts it only when the reply's type is 1 (a short reply
/// or a failed receive is refused); then sends the setting record when `settingString` is not
/// empty, and `CmdStartUpdate`. Nothing is resent and no other reply is awaited: `Started` means
/// exactly two or three datagrams went out, in that order; after `WrongType` neither setting nor
/// start-update was sent. The socket is closed on every path. Prints nothing.
Preparation PrepareDevice(ManagementSocket& socket, const char* target,
                          std::string_view settingString);

/// Refuses a setting string that does not fit the setting record: prints "Setting string too
/// long\n" and returns 0 when `settingString` has more than 89 characters; returns 1 otherwise.
int CheckSettingLength(std::string_view settingString);

/// The utility's preparation: `PrepareDevice`, then 1 when the start-update request has been sent;
/// otherwise prints one message and returns 0: "Setting string too long\n", "Socket create
/// error\n", "Device not found\n" (no datagram within the second) or "Device type incorrect\n".
int PrepareTarget(ManagementSocket& socket, const char* target, std::string_view settingString);
