// SPDX-License-Identifier: Apache-2.0
// Identification and target preparation: identify, check the type, write the setting, start the
// update; and the utility's messages for each way it can end.
#include "management/target_preparation.h"

#include <algorithm>
#include <cstddef>

#include "app/console.h"

namespace {

// Builds a 20-byte request with `command` and sends it to port 36 of `target`. The send's result
// is not examined: a lost request shows itself as a missing answer later.
void SendManagementRequest(ManagementSocket& socket, uint16_t command, const char* target) {
  ManagementDatagram request{};
  BuildRequest(request, command);
  socket.SendDatagram(request, DevicePort, target);
}

// The identify exchange on an open socket, which stays open.
Identification Identify(ManagementSocket& socket, const char* target) {
  Identification identity;
  SendManagementRequest(socket, CmdIdentify, target);
  // One wait and no second request: a device that misses the second is not there.
  if (!socket.WaitReadable(1)) {
    return identity;
  }
  // The first datagram is the reply, whoever sent it and whatever code it echoes; what did not
  // arrive counts as the request's zeros.
  ManagementDatagram buffer{};
  const int received = socket.ReceiveDatagram(buffer);
  const size_t arrived =
      static_cast<size_t>(std::clamp(received, 0, static_cast<int>(buffer.size())));
  ManagementDatagram reply{};
  std::copy_n(buffer.begin(), arrived, reply.begin());
  identity.result = IdentifyResult::Answered;
  identity.deviceType = ReplyDeviceType(reply);
  identity.deviceId = ReplyDeviceId(reply);
  return identity;
}

// The utility's message for each way a preparation ends.
const char* PreparationMessage(PreparationResult result) {
  // In the order of PreparationResult.
  constexpr const char* Messages[] = {"", "Setting string too long\n", "Socket create error\n",
                                      "Device not found\n", "Device type incorrect\n"};
  return Messages[static_cast<int>(result)];
}

}  // namespace

Identification IdentifyDevice(ManagementSocket& socket, const char* target) {
  if (!socket.Open()) {
    return {IdentifyResult::SocketError, 0, {}};
  }
  const Identification identity = Identify(socket, target);
  socket.Close();
  return identity;
}

Preparation PrepareDevice(ManagementSocket& socket, const char* target,
                          std::string_view settingString) {
  // The record has no room for more; refused before anything is opened or sent.
  if (settingString.size() > MaxSettingLength) {
    return {PreparationResult::SettingTooLong, {}};
  }
  if (!socket.Open()) {
    return {PreparationResult::SocketError, {IdentifyResult::SocketError, 0, {}}};
  }
  Preparation preparation{PreparationResult::Started, Identify(socket, target)};
  const Identification& identity = preparation.identity;
  if (identity.result != IdentifyResult::Answered) {
    preparation.result = PreparationResult::NotFound;
  } else if (identity.deviceType != ExpectedDeviceType) {
    preparation.result = PreparationResult::WrongType;
  } else {
    if (!settingString.empty()) {
      SettingRecord record{};
      BuildSettingRecord(record, identity.deviceId, settingString);
      socket.SendDatagram(record, DevicePort, target);
    }
    SendManagementRequest(socket, CmdStartUpdate, target);
  }
  socket.Close();
  return preparation;
}

int CheckSettingLength(std::string_view settingString) {
  if (settingString.size() > MaxSettingLength) {
    ConsolePrint("%s", PreparationMessage(PreparationResult::SettingTooLong));
    return 0;
  }
  return 1;
}

int PrepareTarget(ManagementSocket& socket, const char* target, std::string_view settingString) {
  const PreparationResult result = PrepareDevice(socket, target, settingString).result;
  if (result != PreparationResult::Started) {
    ConsolePrint("%s", PreparationMessage(result));
    return 0;
  }
  return 1;
}
