// SPDX-License-Identifier: Apache-2.0
// Identification and target preparation: identify, check the type, write the setting, start the
// update; the utility's messages for each way it can end; and torvane-devices' strict
// identification of many devices at once.
#include "management/target_preparation.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstddef>

#include "app/console.h"
#include "common/dotted_quad.h"

namespace {

using Clock = std::chrono::steady_clock;

// Builds a 20-byte request with `command` and sends it to port 36 of `target`. The send's result
// is not examined: a lost request shows itself as a missing answer later.
void SendManagementRequest(ManagementSocket& socket, uint16_t command, const char* target) {
  ManagementDatagram request{};
  BuildRequest(request, command);
  socket.SendDatagram(request, DevicePort, target);
}

// What an answer says of the device.
Identification Answered(const ManagementDatagram& reply) {
  return {IdentifyResult::Answered, ReplyDeviceType(reply), ReplyDeviceId(reply)};
}

// The utility's identify exchange on an open socket, which stays open.
Identification IdentifyFirstDatagram(ManagementSocket& socket, const char* target) {
  SendManagementRequest(socket, CmdIdentify, target);
  // One wait and no second request: a device that misses the second is not there.
  if (!socket.WaitReadable(1)) {
    return {};
  }
  // The first datagram is the reply, whoever sent it and whatever code it echoes; what did not
  // arrive counts as the request's zeros.
  ManagementDatagram buffer{};
  const int received = socket.ReceiveDatagram(buffer);
  const size_t arrived =
      static_cast<size_t>(std::clamp(received, 0, static_cast<int>(buffer.size())));
  ManagementDatagram reply{};
  std::copy_n(buffer.begin(), arrived, reply.begin());
  return Answered(reply);
}

// torvane-devices' identify exchange on an open socket, which stays open: one request to each of
// `targets`, then the answers until every target has answered or a second has passed since the
// last request. An answer counts for the target it came from, port 36, when it is a whole one
// echoing the identify code; anything else is ignored.
std::vector<Identification> IdentifyStrictly(ManagementSocket& socket,
                                             std::span<const std::string> targets) {
  std::vector<uint32_t> addresses;
  for (const std::string& target : targets) {
    addresses.push_back(ParseDottedQuad(target.c_str()));
    SendManagementRequest(socket, CmdIdentify, target.c_str());
  }
  std::vector<Identification> identities(targets.size());
  size_t waiting = targets.size();
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
  while (waiting > 0) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !socket.WaitReadableMilliseconds(static_cast<int>(left.count()))) {
      break;
    }
    ManagementDatagram reply{};
    UdpAddress sender;
    const int received = socket.ReceiveDatagramFrom(reply, sender);
    const size_t arrived =
        static_cast<size_t>(std::clamp(received, 0, static_cast<int>(reply.size())));
    const auto from = std::find(addresses.begin(), addresses.end(), sender.address);
    if (!IsIdentifyAnswer(std::span<const uint8_t>(reply.data(), arrived)) ||
        sender.port != DevicePort || from == addresses.end()) {
      continue;
    }
    Identification& identity = identities[static_cast<size_t>(from - addresses.begin())];
    if (identity.result != IdentifyResult::Answered) {
      identity = Answered(reply);
      --waiting;
    }
  }
  return identities;
}

// The utility's message for each way a preparation ends.
const char* PreparationMessage(PreparationResult result) {
  // In the order of PreparationResult.
  constexpr const char* Messages[] = {"", "Setting string too long\n", "Socket create error\n",
                                      "Device not found\n", "Device type incorrect\n"};
  return Messages[static_cast<int>(result)];
}

// The preparation of the utility (`strict` false) or of torvane-devices.
Preparation Prepare(ManagementSocket& socket, const char* target, std::string_view settingString,
                    bool strict) {
  // The record has no room for more; refused before anything is opened or sent.
  if (settingString.size() > MaxSettingLength) {
    return {PreparationResult::SettingTooLong, {}};
  }
  if (!socket.Open()) {
    return {PreparationResult::SocketError, {IdentifyResult::SocketError, 0, {}}};
  }
  const std::string targets[] = {target};
  Preparation preparation{
      PreparationResult::Started,
      strict ? IdentifyStrictly(socket, targets).front() : IdentifyFirstDatagram(socket, target)};
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

}  // namespace

std::vector<Identification> IdentifyDevices(ManagementSocket& socket,
                                            std::span<const std::string> targets) {
  if (!socket.Open()) {
    return std::vector<Identification>(targets.size(), {IdentifyResult::SocketError, 0, {}});
  }
  const size_t room = std::min<size_t>(targets.size(), INT_MAX / BufferBytesPerAnswer);
  socket.SetBufferSizes(static_cast<int>(room) * BufferBytesPerAnswer);
  std::vector<Identification> identities = IdentifyStrictly(socket, targets);
  socket.Close();
  return identities;
}

Preparation PrepareDevice(ManagementSocket& socket, const char* target,
                          std::string_view settingString) {
  return Prepare(socket, target, settingString, true);
}

int CheckSettingLength(std::string_view settingString) {
  if (settingString.size() > MaxSettingLength) {
    ConsolePrint("%s", PreparationMessage(PreparationResult::SettingTooLong));
    return 0;
  }
  return 1;
}

int PrepareTarget(ManagementSocket& socket, const char* target, std::string_view settingString) {
  const PreparationResult result = Prepare(socket, target, settingString, false).result;
  if (result != PreparationResult::Started) {
    ConsolePrint("%s", PreparationMessage(result));
    return 0;
  }
  return 1;
}
