// SPDX-License-Identifier: Apache-2.0
// DatagramEndpoint on UdpSocket: its opening and its addresses, the same on every platform.
#include "net/datagram_endpoint.h"

#include "common/dotted_quad.h"

bool DatagramEndpoint::Open() {
  // Every receive follows a readiness wait, but the system may still drop a datagram between the
  // two (a bad checksum); non-blocking, such a receive fails instead of hanging the run.
  if (socket_.Open() != 0 || socket_.BindNonBlocking() != 0) {
    socket_.Close();
    return false;
  }
  return true;
}

int DatagramEndpoint::SendDatagram(const uint8_t* data, size_t length, uint16_t port,
                                   const char* host) {
  // 255.255.255.255 reads the same in either byte order.
  const UdpAddress to{host == nullptr ? 0xFFFFFFFF : ParseDottedQuad(host), port};
  return IsOpen() && to.address != 0 ? socket_.SendTo(data, length, to) : -1;
}
