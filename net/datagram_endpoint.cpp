// DatagramEndpoint on UdpSocket: its checks and addresses, the same on every platform.
#include "net/datagram_endpoint.h"

#include <algorithm>
#include <climits>

#include "net/dotted_quad.h"

bool DatagramEndpoint::Open() {
  // Every receive follows a readiness wait, but the system may still drop a datagram between the
  // two (a bad checksum); non-blocking, such a receive fails instead of hanging the run.
  if (socketHandle.Open() != 0 || socketHandle.SetNonBlocking() != 0 ||
      socketHandle.BindAnyPort() != 0) {
    socketHandle.Close();
    return false;
  }
  return true;
}

bool DatagramEndpoint::EnableBroadcast() {
  return IsOpen() && socketHandle.EnableBroadcast() == 0;
}

int DatagramEndpoint::SendDatagram(const uint8_t* data, size_t length, uint16_t port,
                                   const char* host) {
  // 255.255.255.255 reads the same in either byte order.
  const UdpAddress to{host == nullptr ? 0xFFFFFFFF : ParseDottedQuad(host), port};
  return IsOpen() && to.address != 0 ? socketHandle.SendTo(data, length, to) : -1;
}

bool DatagramEndpoint::WaitReadable(int seconds) {
  return WaitReadableMilliseconds(std::clamp(seconds, 0, INT_MAX / 1000) * 1000);
}

bool DatagramEndpoint::WaitReadableMilliseconds(int milliseconds) {
  return IsOpen() && socketHandle.WaitReadable(std::max(milliseconds, 0)) > 0;
}

int DatagramEndpoint::ReceiveDatagram(uint8_t* buffer, size_t capacity) {
  return IsOpen() ? socketHandle.Receive(buffer, capacity) : -1;
}

void DatagramEndpoint::Close() {
  socketHandle.Close();
}
