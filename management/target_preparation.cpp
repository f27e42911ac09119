// Target preparation: identify, check the type, write the setting, start the update.
#include "management/target_preparation.h"

#include <algorithm>
#include <cstddef>

#include "app/console.h"
#include "management/management_datagram.h"

namespace {

// Builds a 20-byte request with `command` and sends it to port 36 of `target`. The send's result
// is not examined: a lost request shows itself as a missing answer later.
void SendManagementRequest(ManagementSocket& socket, uint16_t command, const char* target) {
  ManagementDatagram request{};
  BuildRequest(request, command);
  socket.SendDatagram(request, DevicePort, target);
}

}  // namespace

int CheckSettingLength(std::string_view settingString) {
  // The record has no room for more.
  if (settingString.size() > MaxSettingLength) {
    ConsolePrint("Setting string too long\n");
    return 0;
  }
  return 1;
}

int PrepareTarget(ManagementSocket& socket, const char* target, std::string_view settingString) {
  // Refused before anything is opened or sent.
  if (CheckSettingLength(settingString) == 0) {
    return 0;
  }
  if (!socket.Open()) {
    ConsolePrint("Socket create error\n");
    return 0;
  }
  SendManagementRequest(socket, CmdIdentify, target);
  // One wait and no second request: a device that misses the second is not there.
  if (!socket.WaitReadable(1)) {
    ConsolePrint("Device not found\n");
    socket.Close();
    return 0;
  }
  // The first datagram is the reply, whoever sent it and whatever code it echoes.
  ManagementDatagram reply{};
  const int received = socket.ReceiveDatagram(reply);
  const size_t arrived =
      static_cast<size_t>(std::clamp(received, 0, static_cast<int>(reply.size())));
  if (!IsExpectedDevice(std::span<const uint8_t>(reply.data(), arrived))) {
    ConsolePrint("Device type incorrect\n");
    socket.Close();
    return 0;
  }
  if (!settingString.empty()) {
    SettingRecord record{};
    BuildSettingRecord(record, ReplyDeviceId(reply), settingString);
    socket.SendDatagram(record, DevicePort, target);
  }
  SendManagementRequest(socket, CmdStartUpdate, target);
  socket.Close();
  return 1;
}

int PrepareTarget(const char* target, std::string_view settingString) {
  EndpointManagementSocket socket;
  return PrepareTarget(socket, target, settingString);
}
