// Readying the target for the transfer: identification, type check, setting string, start.
#pragma once

#include <string_view>

#include "management/management_socket.h"

/// Refuses a setting string that does not fit the setting record: prints "Setting string too
/// long\n" and returns 0 when `settingString` has more than 89 characters; returns 1 otherwise.
int CheckSettingLength(std::string_view settingString);

/// Readies the device at `target` (dotted-quad text) for the transfer, through `socket`: sends
/// `CmdIdentify` and waits once, one second, for the reply; accepts the device only when the
/// reply's type is 1 (`IsExpectedDevice`: a short reply or a failed receive is refused); then
/// sends the setting record when `settingString` is not empty, and `CmdStartUpdate`. Nothing is
/// resent and no other reply is awaited. Returns 1 when the start-update request has been sent
/// (exactly two or three datagrams, in that order); otherwise prints one message and returns 0:
/// "Setting string too long\n" (more than 89 characters; checked first, nothing opened or sent),
/// "Socket create error\n", "Device not found\n" (no datagram within the second) or "Device type
/// incorrect\n" (neither setting nor start-update is sent). The socket is closed on every path.
int PrepareTarget(ManagementSocket& socket, const char* target, std::string_view settingString);

/// `PrepareTarget` over a `DatagramEndpoint` that lives for this call.
int PrepareTarget(const char* target, std::string_view settingString);
