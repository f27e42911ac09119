// Discovery: the broadcast request and the count of answers until a silent second.
#include "management/discovery.h"

#include <algorithm>
#include <climits>
#include <cstddef>

#include "app/console.h"
#include "management/management_datagram.h"

int DiscoverDevice(ManagementSocket& socket, AddressText& targetAddress) {
  if (!socket.Open()) {
    ConsolePrint("Socket create error\n");
    return 0;
  }
  // Not examined: a refused broadcast shows itself as silence, and the count is then 0.
  socket.EnableBroadcast();
  ManagementDatagram request{};
  BuildRequest(request, CmdDiscover);
  socket.SendDatagram(request, DevicePort, nullptr);

  int answers = 0;
  std::array<uint8_t, 4> candidate{};
  // Listening ends at the first silent second; every datagram, counted or not, restarts it.
  while (socket.WaitReadable(1)) {
    ManagementDatagram reply{};
    const int received = socket.ReceiveDatagram(reply);
    const size_t arrived =
        static_cast<size_t>(std::clamp(received, 0, static_cast<int>(reply.size())));
    if (IsDiscoveryAnswer(std::span<const uint8_t>(reply.data(), arrived))) {
      if (answers < INT_MAX) {
        ++answers;
      }
      candidate = ReplyDeviceAddress(reply);
    }
  }
  socket.Close();
  if (answers == 1) {
    FormatDeviceAddress(candidate, targetAddress);
  }
  return answers;
}

int DiscoverDevice(AddressText& targetAddress) {
  EndpointManagementSocket socket;
  return DiscoverDevice(socket, targetAddress);
}
