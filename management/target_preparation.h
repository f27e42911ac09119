// SPDX-License-Identifier: Apache-2.0
// Identifying devices, and readying one for the transfer: identification, type check, setting
// string, start; torvane-devices' strict forms and the utility's printing form.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "management/management_datagram.h"
#include "management/management_socket.h"

/// How an identify request went.
enum class IdentifyResult { Answered, SocketError, NoAnswer };

/// What the device said of itself. `deviceType` and `deviceId` are read from the reply when it
/// `Answered` (for the utility, bytes that did not arrive counting as zero), and are zero
/// otherwise.
struct Identification {
  IdentifyResult result = IdentifyResult::NoAnswer;
  uint16_t deviceType = 0;
  DeviceId deviceId{};
};

/// torvane-devices' identification, of each of `targets` (distinct dotted-quad texts) at once:
/// opens `socket` with buffers for as many answers, sends `CmdIdentify` once to each in turn, and
/// takes the answers until every target has answered or one second has passed since the last
/// request; then closes it. An answer counts only for the target it came from, port 36, and only
/// when it is one: 20 bytes or more echoing the identify code (a short or empty datagram, another
/// code or another sender is no answer). Returns one identification per target, in their order:
/// `SocketError` for all when the socket cannot be opened, `NoAnswer` for those that did not
/// answer. Sends nothing else and prints nothing.
std::vector<Identification> IdentifyDevices(ManagementSocket& socket,
                                            std::span<const std::string> targets);

/// How the preparation of a device ended.
enum class PreparationResult { Started, SettingTooLong, SocketError, NotFound, WrongType };

/// The result, and the identification as far as it got.
struct Preparation {
  PreparationResult result = PreparationResult::NotFound;
  Identification identity;
};

/// torvane-devices' preparation of the device at `target` (dotted-quad text) for the transfer,
/// through `socket`: refuses a `settingString` of more than 89 characters before anything is
/// opened or sent; identifies the device as `IdentifyDevices` does and accepts it only when it
/// answered with type 1; then sends the setting record when `settingString` is not empty, and
/// `CmdStartUpdate`. Nothing is resent and no other reply is awaited: `Started` means exactly two
/// or three datagrams went out, in that order; after `WrongType` neither setting nor start-update
/// was sent. The socket is closed on every path. Prints nothing.
Preparation PrepareDevice(ManagementSocket& socket, const char* target,
                          std::string_view settingString);

/// Refuses a setting string that does not fit the setting record: prints "Setting string too
/// long\n" and returns 0 when `settingString` has more than 89 characters; returns 1 otherwise.
int CheckSettingLength(std::string_view settingString);

/// The utility's preparation, as `PrepareDevice` but for the identify answer: the first datagram
/// that arrives within one second after the request, from whoever and with whatever code, bytes
/// that did not arrive counting as zero. Returns 1 when the start-update request has been sent;
/// otherwise prints one message and returns 0: "Setting string too long\n", "Socket create
/// error\n", "Device not found\n" (no datagram within the second) or "Device type incorrect\n".
int PrepareTarget(ManagementSocket& socket, const char* target, std::string_view settingString);
